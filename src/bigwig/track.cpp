#include "track.h"

#include <math.h>
#include <stdio.h>

#include <htslib/hfile.h>

#include <algorithm>
#include <cmath>

#ifdef TOLVENDRA_BIGWIG
// Only the file's header and the intervals are touched, never the URL
// handle, so libBigWig's curl types are not needed here.
#define NOCURL
extern "C" {
#include <bigWig.h>
}
#endif

namespace tolvendra {

int TrackFile::tid_of(const std::string &name) const
{
    for (size_t i = 0; i < names_.size(); ++i)
        if (names_[i] == name)
            return static_cast<int>(i);
    return -1;
}

#ifdef TOLVENDRA_BIGWIG

namespace {

// libBigWig sets up its buffers and curl once per process.
bool initialised()
{
    static const bool ok = bwInit(1 << 17) == 0;
    return ok;
}

std::string where(const std::string &seqname, uint32_t start, uint32_t end)
{
    return seqname + ":" + std::to_string(static_cast<int64_t>(start) + 1) +
           "-" + std::to_string(end);
}

uint64_t little_endian(const unsigned char *p, int n)
{
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i)
        v = (v << 8) | p[i];
    return v;
}

// libBigWig trusts the offsets of a header and reads past the end of a
// truncated file into memory it never filled; the header is checked
// against the file's size first (through htslib's files, so a server's
// too, where it says the size), so that truncation is a fault, not a crash.
Status check_layout(const std::string &path)
{
    hFILE *f = hopen(path.c_str(), "r");
    if (!f)
        return fault(Fault::open, "could not be opened");
    unsigned char h[64];
    const bool whole = hread(f, h, sizeof h) == static_cast<ssize_t>(sizeof h);
    const int levels = whole ? static_cast<int>(little_endian(h + 6, 2)) : 0;
    std::vector<unsigned char> zooms(static_cast<size_t>(levels) * 24);
    const bool read_zooms =
        whole && hread(f, zooms.data(), zooms.size()) == static_cast<ssize_t>(zooms.size());
    const off_t end = hseek(f, 0, SEEK_END);
    hclose_abruptly(f);
    if (!whole || !read_zooms)
        return fault(Fault::truncated, "is truncated: its header is incomplete");
    if (end < 0)
        return Status(); // a server that does not say the size
    const uint64_t size = static_cast<uint64_t>(end);
    // each offset with the bytes that must follow it
    std::vector<std::pair<uint64_t, uint64_t>> parts = {
        {little_endian(h + 8, 8), 32},  // sequences' tree
        {little_endian(h + 16, 8), 4},  // full data
        {little_endian(h + 24, 8), 48}, // full data's index
    };
    if (little_endian(h + 44, 8) != 0)
        parts.push_back({little_endian(h + 44, 8), 40}); // total summary
    for (int z = 0; z < levels; ++z) {
        parts.push_back({little_endian(&zooms[z * 24 + 8], 8), 4});
        parts.push_back({little_endian(&zooms[z * 24 + 16], 8), 48});
    }
    for (const auto &part : parts) {
        if (part.first < 64 || part.first > size || size - part.first < part.second)
            return fault(Fault::truncated, "is truncated or damaged: its header points past its end");
    }
    return Status();
}

} // namespace

bool TrackFile::available() { return true; }

TrackFile::~TrackFile()
{
    if (file_)
        bwClose(static_cast<bigWigFile_t *>(file_));
}

Status TrackFile::open(const std::string &path)
{
    if (!initialised())
        return fault(Fault::memory, "could not set up libBigWig");
    Status st = check_layout(path);
    if (!st.ok())
        return st;
    bigWigFile_t *bw = bwOpen(path.c_str(), nullptr, "r");
    if (!bw)
        return fault(Fault::open, "could not be opened as a bigWig track");
    file_ = bw;
    if (bw->type != 0 || !bw->cl)
        return fault(Fault::header, "has no bigWig header with sequences");
    for (int64_t i = 0; i < bw->cl->nKeys; ++i) {
        names_.emplace_back(bw->cl->chrom[i]);
        lengths_.push_back(static_cast<int64_t>(bw->cl->len[i]));
    }
    return Status();
}

// Windows of the sequence read at a time: what one query holds (12 bytes
// an interval) stays bounded however long the sequence.
const int64_t window = 1 << 20;

Status TrackFile::cover(const std::string &seqname, int64_t beg, int64_t end,
                        Runs *runs)
{
    runs->reset(beg);
    bigWigFile_t *bw = static_cast<bigWigFile_t *>(file_);
    int64_t pos = beg; // next coordinate to fill
    for (int64_t a0 = beg; a0 <= end; a0 += window) {
        const int64_t b0 = std::min(end, a0 + window - 1);
        // 0-based, half open; a sequence's length fits 32 bits in the format.
        // Not the iterator: it ends quietly where a block cannot be read,
        // and this returns null.
        const uint32_t from = static_cast<uint32_t>(a0 - 1);
        const uint32_t to = static_cast<uint32_t>(b0);
        bwOverlappingIntervals_t *iv =
            bwGetOverlappingIntervals(bw, seqname.c_str(), from, to);
        if (!iv)
            return fault(Fault::damaged, "has an index or data that cannot be read at " +
                                             where(seqname, from, to));
        Status st;
        for (uint32_t i = 0; i < iv->l && st.ok(); ++i) {
            const int64_t a = std::max<int64_t>(iv->start[i] + 1, a0);
            const int64_t b = std::min<int64_t>(iv->end[i], b0);
            const double v = iv->value[i];
            if (a > b)
                continue;
            if (a < pos) {
                st = fault(Fault::damaged, "has overlapping or unsorted intervals at " +
                                               where(seqname, iv->start[i], iv->end[i]));
            } else if (!std::isfinite(v)) {
                st = fault(Fault::format, "holds a value that is not a finite number (" +
                                              std::to_string(v) + " at " +
                                              where(seqname, iv->start[i], iv->end[i]) + ")");
            } else {
                runs->append_real(0, a - pos);
                runs->append_real(v, b - a + 1);
                pos = b + 1;
            }
        }
        bwDestroyOverlappingIntervals(iv);
        if (!st.ok())
            return st;
    }
    runs->append_real(0, end + 1 - pos);
    runs->settle();
    return Status();
}

#else

bool TrackFile::available() { return false; }

TrackFile::~TrackFile() = default;

Status TrackFile::open(const std::string &)
{
    return fault(Fault::open, "is a bigWig track, which this build cannot read");
}

Status TrackFile::cover(const std::string &, int64_t, int64_t, Runs *)
{
    return fault(Fault::open, "is a bigWig track, which this build cannot read");
}

#endif

} // namespace tolvendra
