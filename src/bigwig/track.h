// Reading bigWig tracks through libBigWig: the file, its sequences and
// the runs of its full data over a stretch. Plain C++ with no R in it.
// Built without libBigWig (configure's choice), every opening is a fault
// that says so, and available() is false.
#ifndef TOLVENDRA_BIGWIG_TRACK_H
#define TOLVENDRA_BIGWIG_TRACK_H

#include <stdint.h>

#include <string>
#include <vector>

#include "../bam/alignments.h"
#include "../kernels/runs.h"

namespace tolvendra {

class TrackFile {
public:
    TrackFile() = default;
    TrackFile(const TrackFile &) = delete;
    TrackFile &operator=(const TrackFile &) = delete;
    ~TrackFile();

    // Whether this build reads tracks at all.
    static bool available();
    // A local path or a URL.
    Status open(const std::string &path);
    // The sequences of the header, in its order.
    const std::vector<std::string> &names() const { return names_; }
    const std::vector<int64_t> &lengths() const { return lengths_; }
    // The sequence's number in the header, -1 if it has none of that name.
    int tid_of(const std::string &name) const;
    // The depths of coordinates beg..end (1-based, closed) of a sequence
    // as runs, from the full data (never the zoom levels): positions no
    // interval covers are 0. The runs are real unless every depth is a
    // whole number (Runs::settle()); a value that is not finite is a fault
    // of kind `format`.
    Status cover(const std::string &seqname, int64_t beg, int64_t end, Runs *runs);

private:
    void *file_ = nullptr; // bigWigFile_t
    std::vector<std::string> names_;
    std::vector<int64_t> lengths_;
};

} // namespace tolvendra

#endif
