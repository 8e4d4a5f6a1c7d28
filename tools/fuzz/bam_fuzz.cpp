// libFuzzer target: alignment files built from mutated bytes must never
// crash the reader. Errors are fine; a block that does not overlap its
// query, or that ends before it starts, is a bug. Records read in place
// must be htslib's own, field for field, fault for fault.
//
// Input starting with gzip's magic bytes is written as it is (this reaches
// the BGZF layer); any other input is taken as an uncompressed BAM stream
// and compressed first, so that mutations reach the records themselves.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include <htslib/bgzf.h>
#include <htslib/hts_log.h>
#include <htslib/sam.h>

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

// read_bam_record() against bam_read1() with sam_read1()'s check of the
// header, record by record over two handles of the file: the same return,
// fields, name, CIGAR and end, and the same offset after.
static void compare_records(const char *path)
{
    BGZF *in_place = bgzf_open(path, "r"), *copied = bgzf_open(path, "r");
    sam_hdr_t *h1 = in_place ? bam_hdr_read(in_place) : nullptr;
    sam_hdr_t *h2 = copied ? bam_hdr_read(copied) : nullptr;
    bam1_t *owned = bam_init1(), *expected = bam_init1(), view = bam1_t();
    view.mempolicy = BAM_USER_OWNS_STRUCT | BAM_USER_OWNS_DATA;
    while (h1 && h2 && owned && expected) {
        const int n = sam_hdr_nref(h1);
        bam1_t *got = nullptr;
        int64_t end = 0;
        const int r = tolvendra::read_bam_record(in_place, n, owned, &view, &got, &end);
        int want = bam_read1(copied, expected);
        const bam1_core_t &e = expected->core;
        if (want >= 0 && (e.tid >= n || e.tid < -1 || e.mtid >= n || e.mtid < -1))
            want = -3;
        if (r != want)
            abort();
        if (r < 0)
            break;
        const bam1_core_t &c = got->core;
        if (bgzf_tell(in_place) != bgzf_tell(copied) || c.tid != e.tid ||
            c.pos != e.pos || c.qual != e.qual || c.flag != e.flag ||
            c.n_cigar != e.n_cigar || c.l_qseq != e.l_qseq || c.mtid != e.mtid ||
            c.mpos != e.mpos || c.isize != e.isize ||
            strcmp(bam_get_qname(got), bam_get_qname(expected)) != 0 ||
            end != bam_endpos(expected))
            abort();
        for (uint32_t i = 0; i < c.n_cigar; ++i) {
            if (tolvendra::cigar_at(got, i) != bam_get_cigar(expected)[i])
                abort();
        }
    }
    bam_destroy1(owned);
    bam_destroy1(expected);
    sam_hdr_destroy(h1);
    sam_hdr_destroy(h2);
    if (in_place)
        bgzf_close(in_place);
    if (copied)
        bgzf_close(copied);
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
    compare_records(path.c_str());
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
