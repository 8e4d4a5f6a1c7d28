// Producers: a source of depth turned into runs per segment and sample.
// The engine drives a Producer and hands its runs to the consumers, which
// never see where the depth came from; alignment files are the one
// producer today. Plain C++ with no R in it.
#ifndef TOLVENDRA_ENGINE_PRODUCER_H
#define TOLVENDRA_ENGINE_PRODUCER_H

#include <stddef.h>
#include <stdint.h>

#include <memory>
#include <vector>

#include "plan.h"

namespace tolvendra {

// Hears each read as a producer of reads takes it, for outputs counted per
// read rather than per position. Asked for only when such an output is:
// the counting loop then pays one call a read, and none otherwise.
class ReadHook {
public:
    virtual ~ReadHook() = default;
    virtual void begin(const Segment &segment, size_t sample) = 0;
    // The read's blocks are blocks.starts/ends from `first` on.
    virtual void read(const Blocks &blocks, size_t first) = 0;
};

// work(), which returns a Status, with running out of memory handed back
// as a fault rather than thrown: on a thread of its own nothing may escape.
template <class Work>
Status caught(Work work)
{
    try {
        return work();
    } catch (...) {
        return fault(Fault::memory, "needs more memory than is available");
    }
}

class Producer {
public:
    virtual ~Producer() = default;
    // The sequence of each target, numbered as the segments will name it;
    // a fault if a source lacks one.
    virtual Status sequences(const std::vector<Target> &targets,
                             std::vector<int> *tids) = 0;
    virtual void prepare(const Plan &plan) = 0;
    // The depth of sample s over the segment, as runs. `hook` (may be
    // null) hears every read.
    virtual Status cover(size_t s, const Segment &segment, Runs *runs,
                         ReadHook *hook) = 0;
};

// The depth of alignment files, counted from their reads under each
// source's options. Adds the reads counted and the bases they cover to
// result->reads and result->bases. `failed` tells the source of a fault
// in opening.
//
// With request.threads above 1, a long segment is cut into stretches of
// about equal length, each counted on a thread of its own through a handle
// of its own: a stretch counts the reads that start in it, whole, and the
// parts of their blocks outside it are added to the joined runs after.
// The hook hears each read once, in the order of one thread, from the
// calling thread.
class AlignmentProducer : public Producer {
public:
    AlignmentProducer(const Request &request, Result *result);
    ~AlignmentProducer() override;
    Status open(int *failed);
    Status sequences(const std::vector<Target> &targets,
                     std::vector<int> *tids) override;
    void prepare(const Plan &plan) override;
    Status cover(size_t s, const Segment &segment, Runs *runs,
                 ReadHook *hook) override;

    struct Stretch; // what one thread counting a stretch holds

private:
    Status count(Stretch *w, size_t s, const Segment &segment, Runs *runs);
    Status count_apart(size_t s, const Segment &segment, size_t n, Runs *runs);
    bool poll();

    const Request &rq_;
    Result *out_;
    // per source, a handle for each stretch counted at once (opened as
    // first needed)
    std::vector<std::vector<std::unique_ptr<AlignmentFile>>> files_;
    std::vector<std::unique_ptr<Stretch>> stretches_;
    size_t active_ = 0; // stretches being counted
    int64_t chunk_ = 1; // positions counted at a time
    double done_ = 0, work_ = 1;
};

// Opens the file of a source, its index and reference as the source says.
Status open_source(const Source &source, AlignmentFile *file);

} // namespace tolvendra

#endif
