#include "producer.h"

#include <string.h>

#include <algorithm>

#include "../kernels/coverage.h"

namespace tolvendra {

Status open_source(const Source &src, int threads, AlignmentFile *file)
{
    return file->open(src.path.c_str(),
                      src.index.empty() ? nullptr : src.index.c_str(),
                      src.reference.empty() ? nullptr : src.reference.c_str(),
                      threads);
}

Status AlignmentProducer::open(int *failed)
{
    for (size_t s = 0; s < rq_.sources.size(); ++s) {
        files_.emplace_back(new AlignmentFile());
        Status st = open_source(rq_.sources[s], rq_.threads, files_.back().get());
        if (!st.ok()) {
            *failed = static_cast<int>(s);
            return st;
        }
    }
    return Status();
}

Status AlignmentProducer::sequences(const std::vector<Target> &targets,
                                    std::vector<int> *tids)
{
    tids->assign(targets.size(), -1);
    for (size_t t = 0; t < targets.size(); ++t) {
        const char *name = targets[t].seqname.c_str();
        int tid = files_[0]->tid_of(name);
        for (size_t s = 1; s < files_.size(); ++s) {
            if (files_[s]->tid_of(name) < 0)
                tid = -1;
        }
        if (tid < 0)
            return fault(Fault::header, "has no sequence named " + targets[t].seqname);
        (*tids)[t] = tid;
    }
    return Status();
}

void AlignmentProducer::prepare(const Plan &plan)
{
    chunk_ = plan.chunk;
    work_ = plan.work;
    diff_.assign(static_cast<size_t>(chunk_) + 1, 0);
}

bool AlignmentProducer::poll()
{
    return !rq_.poll || rq_.poll(rq_.poll_context, done_ / work_);
}

// Marks the blocks held on the stretch of n positions from pos, whose last
// is `last`, and keeps the parts that reach past it for the next stretch.
void AlignmentProducer::flush(int64_t pos, int64_t n, int64_t last, size_t source)
{
    out_->reads[source] += blocks_.reads;
    out_->bases[source] += blocks_.bases;
    coverage_mark(diff_.data(), n, pos, blocks_.starts.data(),
                  blocks_.ends.data(),
                  static_cast<int64_t>(blocks_.starts.size()));
    for (size_t i = 0; i < blocks_.starts.size(); ++i) {
        if (blocks_.starts[i] < pos) {
            late_.push_back(blocks_.starts[i]);
            late_.push_back(std::min<int64_t>(blocks_.ends[i], pos - 1));
        }
        if (blocks_.ends[i] > last)
            carry_.push_back(Block{std::max<int64_t>(blocks_.starts[i], last + 1),
                                   blocks_.ends[i]});
    }
    blocks_.clear();
}

// The depth of the segment of one sample as runs, a stretch of `chunk`
// positions at a time, through the coverage kernel. Stretches that no read
// reaches are skipped, so sparse data costs what its reads cost.
Status AlignmentProducer::cover(size_t s, const Segment &segment, Runs *runs,
                                ReadHook *hook)
{
    AlignmentFile &file = *files_[s];
    const ReadFilter &filter = rq_.sources[s].filter;
    const int64_t beg = segment.start, end = segment.end;
    runs->reset(beg);
    Status st = file.query(segment.tid, beg, end, filter);
    if (!st.ok())
        return st;
    if (hook)
        hook->begin(segment, s);
    carry_.clear();
    late_.clear();
    // reads extended backwards reach this far before their start
    const int64_t reach = filter.fragments ? 0 : filter.extend;
    bool more = file.peek(&st);
    int64_t pos = beg;
    while (st.ok() && pos <= end) {
        int64_t next = end + 1;
        for (const Block &c : carry_)
            next = std::min(next, c.start);
        if (more)
            next = std::min(next, std::max(file.held_start() - reach, pos));
        if (next > pos) {
            runs->append(0, std::min(next, end + 1) - pos);
            done_ += static_cast<double>(std::min(next, end + 1) - pos);
            pos = next;
            if (pos > end)
                break;
        }
        const int64_t last = std::min(pos + chunk_ - 1, end);
        const int64_t n = last - pos + 1;
        memset(diff_.data(), 0, static_cast<size_t>(n + 1) * sizeof(uint32_t));
        carried_.swap(carry_);
        carry_.clear();
        for (const Block &c : carried_)
            blocks_.add(c.start, c.end);
        while (more && file.held_start() - reach <= last) {
            const size_t first_block = blocks_.starts.size();
            file.take(&blocks_);
            if (hook)
                hook->read(blocks_, first_block);
            if (blocks_.starts.size() >= rq_.max_blocks)
                flush(pos, n, last, s);
            more = file.peek(&st);
        }
        if (!st.ok())
            break;
        flush(pos, n, last, s);
        coverage_sum(diff_.data(), n);
        runs->append_depths(diff_.data(), n);
        done_ += static_cast<double>(n);
        pos = last + 1;
        if (!poll())
            return fault(Fault::interrupted, "was interrupted");
    }
    // Reads past the end still count towards the check that the file holds
    // every read its index counts.
    while (st.ok() && more) {
        file.take(&blocks_);
        flush(end + 1, 0, end, s);
        more = file.peek(&st);
    }
    blocks_.clear();
    add_blocks(runs, late_);
    return st;
}

} // namespace tolvendra
