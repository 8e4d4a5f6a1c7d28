#include "producer.h"

#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "../kernels/coverage.h"

namespace tolvendra {

namespace {

// The reads a stretch's thread takes, kept for the hook to hear on the
// calling thread once the stretches before have been heard.
class HeardReads : public ReadHook {
public:
    void begin(const Segment &, size_t) override {}
    void read(const Blocks &blocks, size_t first) override
    {
        starts_.insert(starts_.end(), blocks.starts.begin() + first, blocks.starts.end());
        ends_.insert(ends_.end(), blocks.ends.begin() + first, blocks.ends.end());
        at_.push_back(starts_.size());
    }
    void replay(ReadHook *hook)
    {
        Blocks one;
        size_t from = 0;
        for (size_t to : at_) {
            one.starts.assign(starts_.begin() + from, starts_.begin() + to);
            one.ends.assign(ends_.begin() + from, ends_.begin() + to);
            hook->read(one, 0);
            from = to;
        }
        starts_.clear();
        ends_.clear();
        at_.clear();
    }

private:
    std::vector<int> starts_, ends_;
    std::vector<size_t> at_; // where each read's blocks end
};

} // namespace

struct AlignmentProducer::Stretch {
    struct Block {
        int64_t start, end;
    };
    AlignmentFile *file = nullptr;
    int64_t from = 0, to = 0; // positions counted
    // starts of the reads counted: the first and last stretches take those
    // before and after the segment too
    int64_t own_from = INT64_MIN, own_to = INT64_MAX;
    bool calling = true;                      // on the calling thread: polls
    const std::atomic<bool> *stop = nullptr;  // another stretch failed
    ReadHook *hook = nullptr;
    HeardReads heard;
    std::vector<uint32_t> diff;
    Blocks blocks;
    std::vector<Block> carry, carried;
    // Parts of blocks outside the positions counted so far (reads extended
    // backwards, fragments of mates met late, blocks reaching past the
    // stretch), added to the segment's runs after
    std::vector<int64_t> late;
    Runs runs;
    int64_t reads = 0;
    double bases = 0;
    std::atomic<int64_t> done{0}; // positions counted, for progress
    Status status;

    // Marks the blocks held on the n positions from pos, whose last is
    // `last`, and keeps the parts that reach past them.
    void flush(int64_t pos, int64_t n, int64_t last)
    {
        reads += blocks.reads;
        bases += blocks.bases;
        coverage_mark(diff.data(), n, pos, blocks.starts.data(), blocks.ends.data(),
                      static_cast<int64_t>(blocks.starts.size()));
        for (size_t i = 0; i < blocks.starts.size(); ++i) {
            if (blocks.starts[i] < pos) {
                late.push_back(blocks.starts[i]);
                late.push_back(std::min<int64_t>(blocks.ends[i], pos - 1));
            }
            if (blocks.ends[i] > last)
                carry.push_back(Block{std::max<int64_t>(blocks.starts[i], last + 1),
                                      blocks.ends[i]});
        }
        blocks.clear();
    }
};

Status open_source(const Source &src, AlignmentFile *file)
{
    return file->open(src.path.c_str(),
                      src.index.empty() ? nullptr : src.index.c_str(),
                      src.reference.empty() ? nullptr : src.reference.c_str());
}

AlignmentProducer::AlignmentProducer(const Request &request, Result *result)
    : rq_(request), out_(result) {}

AlignmentProducer::~AlignmentProducer() = default;

Status AlignmentProducer::open(int *failed)
{
    files_.resize(rq_.sources.size());
    for (size_t s = 0; s < rq_.sources.size(); ++s) {
        files_[s].emplace_back(new AlignmentFile());
        Status st = open_source(rq_.sources[s], files_[s].back().get());
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
        int tid = files_[0][0]->tid_of(name);
        for (size_t s = 1; s < files_.size(); ++s) {
            if (files_[s][0]->tid_of(name) < 0)
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
}

bool AlignmentProducer::poll()
{
    double done = done_;
    for (size_t k = 0; k < active_; ++k)
        done += static_cast<double>(stretches_[k]->done.load(std::memory_order_relaxed));
    return !rq_.poll || rq_.poll(rq_.poll_context, done / work_);
}

// The depth of the stretch's positions as runs, a chunk of positions at a
// time, through the coverage kernel, from the reads that start in it.
// Chunks that no read reaches are skipped, so sparse data costs what its
// reads cost.
Status AlignmentProducer::count(Stretch *w, size_t s, const Segment &segment,
                                Runs *runs)
{
    AlignmentFile &file = *w->file;
    const ReadFilter &filter = rq_.sources[s].filter;
    const int64_t end = w->to;
    runs->reset(w->from);
    w->carry.clear();
    w->late.clear();
    w->reads = 0;
    w->bases = 0;
    w->done = 0;
    if (w->diff.size() < static_cast<size_t>(chunk_) + 1)
        w->diff.assign(static_cast<size_t>(chunk_) + 1, 0);
    Status st = file.query(segment.tid, segment.start, segment.end, filter,
                           w->own_from, w->own_to);
    if (!st.ok())
        return st;
    // reads extended backwards reach this far before their start
    const int64_t reach = filter.fragments ? 0 : filter.extend;
    bool more = file.peek(&st);
    int64_t pos = w->from;
    while (st.ok() && pos <= end) {
        int64_t next = end + 1;
        for (const Stretch::Block &c : w->carry)
            next = std::min(next, c.start);
        if (more)
            next = std::min(next, std::max(file.held_start() - reach, pos));
        if (next > pos) {
            runs->append(0, std::min(next, end + 1) - pos);
            w->done += std::min(next, end + 1) - pos;
            pos = next;
            if (pos > end)
                break;
        }
        const int64_t last = std::min(pos + chunk_ - 1, end);
        const int64_t n = last - pos + 1;
        memset(w->diff.data(), 0, static_cast<size_t>(n + 1) * sizeof(uint32_t));
        w->carried.swap(w->carry);
        w->carry.clear();
        for (const Stretch::Block &c : w->carried)
            w->blocks.add(c.start, c.end);
        while (more && file.held_start() - reach <= last) {
            const size_t first_block = w->blocks.starts.size();
            file.take(&w->blocks);
            if (w->hook)
                w->hook->read(w->blocks, first_block);
            if (w->blocks.starts.size() >= rq_.max_blocks)
                w->flush(pos, n, last);
            more = file.peek(&st);
        }
        if (!st.ok())
            break;
        w->flush(pos, n, last);
        coverage_sum(w->diff.data(), n);
        runs->append_depths(w->diff.data(), n);
        w->done += n;
        pos = last + 1;
        if (w->stop && w->stop->load())
            return Status(); // the stretch at fault tells
        if (w->calling && !poll())
            return fault(Fault::interrupted, "was interrupted");
    }
    // Reads past the end still count towards the check that the file holds
    // every read its index counts.
    while (st.ok() && more) {
        file.take(&w->blocks);
        w->flush(end + 1, 0, end);
        more = file.peek(&st);
    }
    w->blocks.clear();
    for (const Stretch::Block &c : w->carry) {
        if (c.start <= segment.end) {
            w->late.push_back(c.start);
            w->late.push_back(c.end);
        }
    }
    return st;
}

// Stretches 1..n-1 on threads of their own while the calling thread counts
// stretch 0 into `runs`, then polls until they end. The first fault in the stretches'
// order stops the others and is the whole segment's.
Status AlignmentProducer::count_apart(size_t s, const Segment &segment, size_t n,
                                      Runs *runs)
{
    std::atomic<bool> stop(false);
    std::mutex mutex;
    std::condition_variable ended;
    size_t finished = 0;
    std::vector<std::thread> crew;
    Status started;
    for (size_t k = 0; k < n; ++k)
        stretches_[k]->stop = &stop;
    try {
        for (size_t k = 1; k < n; ++k) {
            crew.emplace_back([&, k] {
                Stretch &w = *stretches_[k];
                w.status = caught([&] { return count(&w, s, segment, &w.runs); });
                if (!w.status.ok())
                    stop = true;
                std::lock_guard<std::mutex> lock(mutex);
                ++finished;
                ended.notify_one();
            });
        }
    } catch (...) {
        stop = true;
        started = fault(Fault::open, "could not be read: no thread could be started");
    }
    Stretch &first = *stretches_[0];
    if (started.ok())
        first.status = caught([&] { return count(&first, s, segment, runs); });
    if (!first.status.ok())
        stop = true;
    bool interrupted = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        while (finished < crew.size()) {
            if (ended.wait_for(lock, std::chrono::milliseconds(100),
                               [&] { return finished == crew.size(); }))
                break;
            lock.unlock();
            if (!interrupted && !poll()) {
                interrupted = true;
                stop = true;
            }
            lock.lock();
        }
    }
    for (std::thread &t : crew)
        t.join();
    if (!started.ok())
        return started;
    for (size_t k = 0; k < n; ++k) {
        if (!stretches_[k]->status.ok())
            return stretches_[k]->status;
    }
    if (interrupted)
        return fault(Fault::interrupted, "was interrupted");
    return Status();
}

// The depth of the segment of one sample as runs: in one stretch, or cut
// into up to `threads` stretches of at least min_stretch positions.
Status AlignmentProducer::cover(size_t s, const Segment &segment, Runs *runs,
                                ReadHook *hook)
{
    const int64_t length = segment.end - segment.start + 1;
    const size_t n = static_cast<size_t>(std::max<int64_t>(
        1, std::min<int64_t>(rq_.threads, length / std::max<int64_t>(1, rq_.min_stretch))));
    while (files_[s].size() < n) {
        files_[s].emplace_back(new AlignmentFile());
        Status st = open_source(rq_.sources[s], files_[s].back().get());
        if (!st.ok())
            return st;
    }
    while (stretches_.size() < n)
        stretches_.emplace_back(new Stretch());
    for (size_t k = 0; k < n; ++k) {
        Stretch &w = *stretches_[k];
        w.file = files_[s][k].get();
        w.from = segment.start + static_cast<int64_t>(length * static_cast<double>(k) / n);
        w.to = segment.start + static_cast<int64_t>(length * static_cast<double>(k + 1) / n) - 1;
        if (k + 1 == n)
            w.to = segment.end;
        w.own_from = k == 0 ? INT64_MIN : w.from;
        w.own_to = k + 1 == n ? INT64_MAX : w.to;
        w.calling = k == 0;
        w.stop = nullptr;
        // the first stretch is counted on the calling thread, which may
        // call the hook; the others keep their reads for it
        w.hook = k == 0 ? hook : hook ? &w.heard : nullptr;
        w.status = Status();
    }
    active_ = n;
    if (hook)
        hook->begin(segment, s);
    Stretch &first = *stretches_[0];
    Status st = n == 1 ? count(&first, s, segment, runs)
                       : count_apart(s, segment, n, runs);
    active_ = 0;
    if (!st.ok())
        return st;
    // every part counted late, over the first stretch's runs and those
    // of the others appended in order
    std::vector<int64_t> &late = first.late;
    for (size_t k = 1; k < n; ++k)
        late.insert(late.end(), stretches_[k]->late.begin(), stretches_[k]->late.end());
    add_blocks(runs, late);
    if (n > 1) {
        uint64_t mapped = 0;
        for (size_t k = 0; k < n; ++k) {
            Stretch &w = *stretches_[k];
            if (k > 0)
                append_runs(runs, w.runs, late);
            mapped += w.file->mapped_seen();
            if (hook)
                w.heard.replay(hook);
        }
        st = files_[s][0]->check_counts(mapped);
        if (!st.ok())
            return st;
    }
    for (size_t k = 0; k < n; ++k) {
        out_->reads[s] += stretches_[k]->reads;
        out_->bases[s] += stretches_[k]->bases;
    }
    done_ += static_cast<double>(length);
    return Status();
}

} // namespace tolvendra
