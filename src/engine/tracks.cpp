#include "tracks.h"

namespace tolvendra {

TrackProducer::TrackProducer(const Request &request, Result *result)
    : rq_(request), out_(result), alignment_rq_(request)
{
    alignment_rq_.sources.clear();
    for (const Source &source : rq_.sources) {
        alignment_of_.push_back(alignment_rq_.sources.size());
        if (!source.track)
            alignment_rq_.sources.push_back(source);
    }
}

Status TrackProducer::open(int *failed)
{
    for (size_t s = 0; s < rq_.sources.size(); ++s) {
        tracks_.emplace_back();
        if (!rq_.sources[s].track)
            continue;
        tracks_.back().reset(new TrackFile());
        Status st = tracks_.back()->open(rq_.sources[s].path);
        if (!st.ok()) {
            *failed = static_cast<int>(s);
            return st;
        }
    }
    if (alignment_rq_.sources.empty())
        return Status();
    alignment_out_.reads.assign(alignment_rq_.sources.size(), 0);
    alignment_out_.bases.assign(alignment_rq_.sources.size(), 0.0);
    alignments_.reset(new AlignmentProducer(alignment_rq_, &alignment_out_));
    int k = -1;
    Status st = alignments_->open(&k);
    if (!st.ok()) {
        for (size_t s = 0; s < rq_.sources.size(); ++s)
            if (!rq_.sources[s].track && alignment_of_[s] == static_cast<size_t>(k))
                *failed = static_cast<int>(s);
    }
    return st;
}

// Numbered as the alignment files number them when there are any, else
// as the first track does; every track must have each sequence.
Status TrackProducer::sequences(const std::vector<Target> &targets,
                                std::vector<int> *tids)
{
    if (alignments_) {
        Status st = alignments_->sequences(targets, tids);
        if (!st.ok())
            return st;
    } else {
        tids->assign(targets.size(), -1);
    }
    for (size_t t = 0; t < targets.size(); ++t) {
        for (const auto &track : tracks_) {
            if (!track)
                continue;
            const int tid = track->tid_of(targets[t].seqname);
            if (tid < 0)
                return fault(Fault::header, "has no sequence named " + targets[t].seqname);
            if ((*tids)[t] < 0)
                (*tids)[t] = tid;
        }
    }
    return Status();
}

void TrackProducer::prepare(const Plan &plan)
{
    if (alignments_)
        alignments_->prepare(plan);
    work_ = plan.work;
}

Status TrackProducer::cover(size_t s, const Segment &segment, Runs *runs,
                            ReadHook *hook)
{
    if (!tracks_[s]) {
        const size_t k = alignment_of_[s];
        renumbered_.hook = hook;
        renumbered_.sample = s;
        Status st = alignments_->cover(k, segment, runs, hook ? &renumbered_ : nullptr);
        out_->reads[s] = alignment_out_.reads[k];
        out_->bases[s] = alignment_out_.bases[k];
        return st;
    }
    // a track has no reads for a hook to hear
    const std::string &seqname = rq_.targets[segment.targets[0]].seqname;
    Status st = tracks_[s]->cover(seqname, segment.start, segment.end, runs);
    done_ += static_cast<double>(segment.end - segment.start + 1);
    if (st.ok() && rq_.poll && !rq_.poll(rq_.poll_context, done_ / work_))
        return fault(Fault::interrupted, "was interrupted");
    return st;
}

} // namespace tolvendra
