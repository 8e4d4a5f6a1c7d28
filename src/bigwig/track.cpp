#include "track.h"

#include <math.h>

#include <algorithm>

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

Status TrackFile::cover(const std::string &seqname, int64_t beg, int64_t end,
                        Runs *runs)
{
    runs->reset(beg);
    bigWigFile_t *bw = static_cast<bigWigFile_t *>(file_);
    // 0-based, half open; a sequence's length fits 32 bits in the format
    const uint32_t from = static_cast<uint32_t>(beg - 1);
    const uint32_t to = static_cast<uint32_t>(end);
    bwOverlapIterator_t *it = bwOverlappingIntervalsIterator(
        bw, seqname.c_str(), from, to, 64);
    if (!it)
        return fault(Fault::damaged, "has an index or data that cannot be read at " +
                                         where(seqname, from, to));
    Status st;
    int64_t pos = beg; // next coordinate to fill
    while (st.ok() && it->data) {
        const bwOverlappingIntervals_t *iv = it->intervals;
        for (uint32_t i = 0; i < iv->l; ++i) {
            const int64_t a = std::max<int64_t>(iv->start[i] + 1, beg);
            const int64_t b = std::min<int64_t>(iv->end[i], end);
            const double v = iv->value[i];
            if (a > b)
                continue;
            if (a < pos) {
                st = fault(Fault::damaged, "has overlapping or unsorted intervals at " +
                                               where(seqname, iv->start[i], iv->end[i]));
                break;
            }
            if (!(v == floor(v) && v < 2147483648.0 && v >= -2147483648.0)) {
                st = fault(Fault::format, "holds a value that is not a whole number (" +
                                              std::to_string(v) + " at " +
                                              where(seqname, iv->start[i], iv->end[i]) + ")");
                break;
            }
            runs->append(0, a - pos);
            runs->append(static_cast<int32_t>(v), b - a + 1);
            pos = b + 1;
        }
        if (!st.ok())
            break;
        it = bwIteratorNext(it); // destroyed on an error
        if (!it)
            st = fault(Fault::damaged, "has data that cannot be read at " +
                                           where(seqname, from, to));
    }
    if (it)
        bwIteratorDestroy(it);
    if (st.ok())
        runs->append(0, end + 1 - pos);
    return st;
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
