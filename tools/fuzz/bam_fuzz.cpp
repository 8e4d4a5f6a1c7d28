// libFuzzer target: alignment files built from mutated bytes must never
// crash the reader. Errors are fine; a block that does not overlap its
// query, or that ends before it starts, is a bug.
//
// Input starting with gzip's magic bytes is written as it is (this reaches
// the BGZF layer); any other input is taken as an uncompressed BAM stream
// and compressed first, so that mutations reach the records themselves.
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include <htslib/bgzf.h>
#include <htslib/hts_log.h>

#include "../../src/bam/alignments.h"

using tolvendra::AlignmentFile;
using tolvendra::Blocks;
using tolvendra::ReadFilter;
using tolvendra::Status;

static std::string bam_path()
{
    static std::string path;
    if (path.empty()) {
        const char *dir = getenv("TMPDIR");
        path = std::string(dir ? dir : "/tmp") + "/bam_fuzz_" +
               std::to_string(getpid()) + ".bam";
    }
    return path;
}

static bool write_input(const uint8_t *data, size_t size, const char *path)
{
    if (size >= 2 && data[0] == 0x1f && data[1] == 0x8b) {
        FILE *f = fopen(path, "wb");
        if (!f)
            return false;
        const bool ok = fwrite(data, 1, size, f) == size;
        return fclose(f) == 0 && ok;
    }
    BGZF *out = bgzf_open(path, "w");
    if (!out)
        return false;
    const bool ok = bgzf_write(out, data, size) == static_cast<ssize_t>(size);
    return bgzf_close(out) == 0 && ok;
}

static void read_all(AlignmentFile &file, int tid, int64_t beg, int64_t end,
                     const ReadFilter &filter, int64_t own_from = INT64_MIN,
                     int64_t own_to = INT64_MAX)
{
    const bool split = filter.split;
    if (!file.query(tid, beg, end, filter, own_from, own_to).ok())
        return;
    Blocks blocks;
    Status status;
    for (int batch = 0; batch < 100000; ++batch) {
        blocks.clear();
        if (!file.next(split ? 50 : 1000000, 64, &blocks, &status))
            break;
        for (size_t i = 0; i < blocks.starts.size(); ++i) {
            if (blocks.starts[i] > blocks.ends[i] || blocks.ends[i] < beg ||
                blocks.starts[i] > end)
                abort();
        }
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    hts_set_log_level(HTS_LOG_OFF);
    const std::string path = bam_path();
    const std::string index = path + ".csi";
    unlink(index.c_str());
    if (!write_input(data, size, path.c_str()))
        return 0;
    if (sam_index_build2(path.c_str(), index.c_str(), 14) != 0)
        return 0;
    AlignmentFile file;
    if (!file.open(path.c_str(), index.c_str(), nullptr).ok())
        return 0;
    // the ways of counting mates, fragments and deletions, whole and in a
    // window
    ReadFilter plain, unsplit, once, proper, fragments;
    unsplit.split = false;
    unsplit.exclude_flags = 0;
    once.overlap = tolvendra::Overlap::once;
    proper.overlap = tolvendra::Overlap::proper;
    proper.deletions = false;
    fragments.fragments = true;
    fragments.strand = -1;
    const int n = file.targets() < 8 ? file.targets() : 8;
    for (int tid = 0; tid < n; ++tid) {
        const int64_t len = file.target_length(tid);
        for (const ReadFilter *f : {&plain, &once, &proper, &fragments})
            read_all(file, tid, 1, len > 0 ? len : 1, *f);
        read_all(file, tid, 1 + len / 3, 1 + len / 2, unsplit);
        read_all(file, tid, 1 + len / 3, 1 + len / 2, once);
        // the two halves of a sequence read apart, as two threads read them
        for (const ReadFilter *f : {&once, &fragments}) {
            read_all(file, tid, 1, len > 0 ? len : 1, *f, INT64_MIN, len / 2);
            read_all(file, tid, 1, len > 0 ? len : 1, *f, len / 2 + 1, INT64_MAX);
        }
    }
    return 0;
}
