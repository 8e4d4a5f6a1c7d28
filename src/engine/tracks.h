// bigWig tracks as a source of depth runs, alone or beside alignment
// files in one pass: each sample is covered by its own source's reader,
// so the consumers see runs whatever the file. Plain C++ with no R in it.
#ifndef TOLVENDRA_ENGINE_TRACKS_H
#define TOLVENDRA_ENGINE_TRACKS_H

#include <stddef.h>

#include <memory>
#include <vector>

#include "../bigwig/track.h"
#include "producer.h"

namespace tolvendra {

// The sources marked `track` are read from their tracks' full data; the
// others by an AlignmentProducer over them alone, whose reads counted are
// copied to the result under their own source's number.
class TrackProducer : public Producer {
public:
    TrackProducer(const Request &request, Result *result);
    Status open(int *failed);
    Status sequences(const std::vector<Target> &targets,
                     std::vector<int> *tids) override;
    void prepare(const Plan &plan) override;
    Status cover(size_t s, const Segment &segment, Runs *runs,
                 ReadHook *hook) override;

private:
    // Tells a hook the request's sample number of an alignment source.
    class Renumbered : public ReadHook {
    public:
        ReadHook *hook = nullptr;
        size_t sample = 0;
        void begin(const Segment &segment, size_t) override
        {
            hook->begin(segment, sample);
        }
        void read(const Blocks &blocks, size_t first) override
        {
            hook->read(blocks, first);
        }
    };

    const Request &rq_;
    Result *out_;
    std::vector<std::unique_ptr<TrackFile>> tracks_; // null for alignments
    Request alignment_rq_;   // the alignment sources alone
    Result alignment_out_;
    std::unique_ptr<AlignmentProducer> alignments_;
    std::vector<size_t> alignment_of_; // a source's number among them
    Renumbered renumbered_;
    double done_ = 0, work_ = 1;
};

} // namespace tolvendra

#endif
