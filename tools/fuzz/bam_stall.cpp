// Does htslib's threaded BGZF reader stall on damaged BAM files? Makes
// damaged copies of a seed BAM file, then opens and queries each, as the
// reader does, in a child process under a time limit: once on one thread,
// once with a decompression thread added before the header is read, once
// with it added after (as the package did before its threads read
// stretches of a file through handles of their own). A child that
// runs out of time stalled; one killed by another signal crashed. Both are
// kept in the work directory.
//
//   bam_stall SEED.bam WORKDIR [VARIANTS] [SECONDS]
//
// Queries use the seed's own index, as for a file damaged after it was
// indexed, and, when it can be built, an index of the damaged file.
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

#include <htslib/bgzf.h>
#include <htslib/hts.h>
#include <htslib/hts_log.h>
#include <htslib/sam.h>

namespace {

using Bytes = std::vector<unsigned char>;

enum class Threads { none, before_header, after_header };
const char *threads_name[] = {"one thread", "threads before header",
                              "threads after header"};

bool read_file(const std::string &path, Bytes *out)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->insert(out->end(), buf, buf + n);
    fclose(f);
    return true;
}

bool write_file(const std::string &path, const Bytes &data)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = fwrite(data.data(), 1, data.size(), f) == data.size();
    return fclose(f) == 0 && ok;
}

// Offsets of the BGZF blocks: each names its own size at byte 16.
std::vector<size_t> blocks_of(const Bytes &b)
{
    std::vector<size_t> at;
    size_t i = 0;
    while (i + 18 <= b.size() && b[i] == 0x1f && b[i + 1] == 0x8b) {
        at.push_back(i);
        i += (b[i + 16] | (b[i + 17] << 8)) + 1;
    }
    return at;
}

// The uncompressed stream of a BGZF file.
bool inflate_all(const std::string &path, Bytes *out)
{
    BGZF *in = bgzf_open(path.c_str(), "r");
    if (!in)
        return false;
    unsigned char buf[65536];
    ssize_t n;
    while ((n = bgzf_read(in, buf, sizeof buf)) > 0)
        out->insert(out->end(), buf, buf + n);
    bgzf_close(in);
    return n == 0;
}

bool deflate_to(const std::string &path, const Bytes &raw)
{
    BGZF *out = bgzf_open(path.c_str(), "w");
    if (!out)
        return false;
    const bool ok = bgzf_write(out, raw.data(), raw.size()) ==
                    static_cast<ssize_t>(raw.size());
    return bgzf_close(out) == 0 && ok;
}

const unsigned char eof_block[28] = {
    0x1f, 0x8b, 8, 4, 0, 0, 0, 0, 0, 0xff, 6, 0, 0x42, 0x43,
    2,    0,    0x1b, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0};

// One damaged copy of the seed, written to `path`; its kind is returned.
const char *damage(int i, std::mt19937 &rng, const Bytes &seed,
                   const std::vector<size_t> &blocks, const Bytes &raw,
                   const std::string &path)
{
    auto pick = [&rng](size_t n) { return n ? rng() % n : 0; };
    Bytes b = seed;
    const size_t data_end = seed.size() - sizeof eof_block;
    switch (i % 7) {
    case 0: { // cut anywhere, end-of-file marker put back
        b.resize(pick(data_end));
        b.insert(b.end(), eof_block, eof_block + sizeof eof_block);
        write_file(path, b);
        return "cut, end marker kept";
    }
    case 1: { // cut anywhere
        b.resize(pick(seed.size()));
        write_file(path, b);
        return "cut";
    }
    case 2: { // a few bytes changed anywhere
        const int n = 1 + pick(8);
        for (int k = 0; k < n; ++k)
            b[pick(data_end)] ^= static_cast<unsigned char>(1 + pick(255));
        write_file(path, b);
        return "bytes changed";
    }
    case 3: { // a block's header changed (its size, flags or magic)
        const size_t at = blocks[pick(blocks.size() - 1)];
        b[at + pick(18)] ^= static_cast<unsigned char>(1 + pick(255));
        write_file(path, b);
        return "block header changed";
    }
    case 4: { // a block dropped or repeated
        const size_t k = pick(blocks.size() - 1);
        const size_t from = blocks[k], to = blocks[k + 1];
        const bool drop = rng() % 2;
        if (drop)
            b.erase(b.begin() + from, b.begin() + to);
        else
            b.insert(b.begin() + to, seed.begin() + from, seed.begin() + to);
        write_file(path, b);
        return drop ? "block dropped" : "block repeated";
    }
    case 5: { // a run of bytes zeroed
        const size_t from = pick(data_end);
        const size_t n = std::min<size_t>(1 + pick(70000), data_end - from);
        memset(b.data() + from, 0, n);
        write_file(path, b);
        return "bytes zeroed";
    }
    default: { // records changed under valid compression
        Bytes r = raw;
        const int n = 1 + pick(16);
        for (int k = 0; k < n; ++k)
            r[pick(r.size())] ^= static_cast<unsigned char>(1 + pick(255));
        if (rng() % 3 == 0)
            r.resize(pick(r.size()));
        deflate_to(path, r);
        return "records changed";
    }
    }
}

void read_some(samFile *fp, bam1_t *b, hts_itr_t *itr)
{
    for (int n = 0; n < 200000; ++n) {
        const int r = itr ? sam_itr_next(fp, itr, b) : sam_read1(fp, NULL, b);
        if (r < 0)
            break;
    }
}

// What the reader does with a file: open, header, index, queries over each
// sequence, then one pass from the start. Errors end it early; only a stall
// or a crash matters.
void exercise(const char *path, const char *index, Threads threads)
{
    hts_set_log_level(HTS_LOG_OFF);
    samFile *fp = sam_open(path, "r");
    if (!fp)
        return;
    if (threads == Threads::before_header)
        hts_set_threads(fp, 1);
    sam_hdr_t *hdr = sam_hdr_read(fp);
    if (!hdr)
        _exit(0);
    if (threads == Threads::after_header)
        hts_set_threads(fp, 1);
    hts_idx_t *idx = sam_index_load3(fp, path, index, HTS_IDX_SILENT_FAIL);
    bam1_t *b = bam_init1();
    const int n = sam_hdr_nref(hdr) < 8 ? sam_hdr_nref(hdr) : 8;
    for (int tid = 0; idx && tid < n; ++tid) {
        const hts_pos_t len = sam_hdr_tid2len(hdr, tid);
        const hts_pos_t spans[][2] = {{0, len}, {len / 3, len / 2}, {len / 2, len}};
        for (const auto &span : spans) {
            hts_itr_t *itr = sam_itr_queryi(idx, tid, span[0], span[1]);
            if (itr) {
                read_some(fp, b, itr);
                hts_itr_destroy(itr);
            }
        }
    }
    if (idx && sam_hdr_nref(hdr) > 0) {
        // Back to the first record, then on to the end.
        hts_itr_t *itr = sam_itr_queryi(idx, HTS_IDX_START, 0, 0);
        if (itr) {
            read_some(fp, b, itr);
            hts_itr_destroy(itr);
        }
    }
    // Teardown joins the threads, which can wait as well; the child exits
    // through it so that such a wait counts.
    bam_destroy1(b);
    if (idx)
        hts_idx_destroy(idx);
    sam_hdr_destroy(hdr);
    sam_close(fp);
}

// 0 finished, 1 stalled, 2 crashed.
int run_child(const char *path, const char *index, Threads threads,
              unsigned seconds)
{
    fflush(stdout);
    const pid_t pid = fork();
    if (pid < 0) {
        perror("fork");
        exit(2);
    }
    if (pid == 0) {
        alarm(seconds);
        exercise(path, index, threads);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status))
        return WTERMSIG(status) == SIGALRM ? 1 : 2;
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s SEED.bam WORKDIR [VARIANTS] [SECONDS]\n",
                argv[0]);
        return 2;
    }
    hts_set_log_level(HTS_LOG_OFF);
    const std::string seed_path = argv[1], dir = argv[2];
    const int variants = argc > 3 ? atoi(argv[3]) : 300;
    const unsigned seconds = argc > 4 ? atoi(argv[4]) : 10;
    Bytes seed, raw;
    if (!read_file(seed_path, &seed) || !inflate_all(seed_path, &raw)) {
        fprintf(stderr, "cannot read %s\n", seed_path.c_str());
        return 2;
    }
    const std::vector<size_t> blocks = blocks_of(seed);
    if (blocks.size() < 3) {
        fprintf(stderr, "the seed needs a few BGZF blocks\n");
        return 2;
    }
    const std::string seed_index = dir + "/seed.csi";
    if (sam_index_build2(seed_path.c_str(), seed_index.c_str(), 14) != 0) {
        fprintf(stderr, "cannot index %s\n", seed_path.c_str());
        return 2;
    }
    printf("htslib %s, seed of %zu blocks, %d damaged copies, %u s each\n",
           hts_version(), blocks.size(), variants, seconds);

    std::mt19937 rng(20240611);
    int stalls[3] = {0, 0, 0}, crashes[3] = {0, 0, 0}, runs = 0;
    const std::string path = dir + "/variant.bam";
    const std::string own_index = path + ".csi";
    for (int i = 0; i < variants; ++i) {
        const char *kind = damage(i, rng, seed, blocks, raw, path);
        unlink(own_index.c_str());
        std::vector<std::string> indexes = {seed_index};
        if (sam_index_build2(path.c_str(), own_index.c_str(), 14) == 0)
            indexes.push_back(own_index);
        for (const std::string &index : indexes) {
            for (int t = 0; t < 3; ++t) {
                ++runs;
                const int r = run_child(path.c_str(), index.c_str(),
                                        static_cast<Threads>(t), seconds);
                if (r == 0)
                    continue;
                r == 1 ? ++stalls[t] : ++crashes[t];
                char keep[64];
                snprintf(keep, sizeof keep, "/%s-%03d.bam",
                         r == 1 ? "stall" : "crash", i);
                Bytes copy;
                if (read_file(path, &copy))
                    write_file(dir + keep, copy);
                printf("copy %d (%s), %s index, %s: %s, kept as %s\n", i, kind,
                       index == seed_index ? "the seed's" : "its own",
                       threads_name[t], r == 1 ? "STALLED" : "CRASHED", keep + 1);
            }
        }
    }
    printf("%d runs; stalls: one thread %d, threads before header %d, "
           "threads after header %d; crashes: %d %d %d\n",
           runs, stalls[0], stalls[1], stalls[2], crashes[0], crashes[1],
           crashes[2]);
    return stalls[0] + crashes[0] + crashes[1] + crashes[2] > 0 ? 1 : 0;
}
