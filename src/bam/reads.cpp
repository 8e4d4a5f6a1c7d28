// How a read becomes blocks of the reference under the reading options:
// which reads pass, their blocks (split at introns, deletions or not),
// fragments, extension, and the mates of a template counted once.
#include "alignments.h"

#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdlib>

namespace tolvendra {

void Blocks::clear()
{
    starts.clear();
    ends.clear();
    reads = 0;
    bases = 0;
    lo = 0;
    hi = -1;
}

void Blocks::add(int64_t start, int64_t end)
{
    // A block that overlaps a window of R integers starts inside R's
    // integer range; only its end can reach past it.
    if (end > INT_MAX)
        end = INT_MAX;
    if (starts.empty() || start < lo)
        lo = start;
    if (end > hi)
        hi = end;
    starts.push_back(static_cast<int>(start));
    ends.push_back(static_cast<int>(end));
}

void alignment_blocks(const bam1_t *b, const ReadFilter &filter, int64_t beg,
                      int64_t end, Blocks *out)
{
    const uint32_t n = b->core.n_cigar;
    int64_t ref = static_cast<int64_t>(b->core.pos) + 1;
    int64_t block = ref;
    auto emit = [&](int64_t s, int64_t e) {
        if (s <= e && e >= beg && s <= end)
            out->add(s, e);
    };
    for (uint32_t i = 0; i < n; ++i) {
        const uint32_t c = cigar_at(b, i);
        const int op = bam_cigar_op(c);
        const int64_t len = bam_cigar_oplen(c);
        if ((op == BAM_CREF_SKIP && filter.split) ||
            (op == BAM_CDEL && !filter.deletions)) {
            emit(block, ref - 1);
            ref += len;
            block = ref;
        } else if (bam_cigar_type(op) & 2) {
            ref += len; // M, =, X, D and, unsplit, N
        }
    }
    emit(block, ref - 1);
}

bool AlignmentFile::passes() const
{
    const uint32_t flag = b_->core.flag;
    if ((flag & filter_.exclude_flags) ||
        (flag & filter_.include_flags) != filter_.include_flags ||
        b_->core.qual < filter_.min_mapq)
        return false;
    if (filter_.fragments) {
        // a fragment counts once, from its left mate (read 1 where both
        // start together), and only as bedtools -pc counts it: proper
        // pairs, the left mate forward and the right one reverse
        const bool paired = (flag & BAM_FPAIRED) && (flag & BAM_FPROPER_PAIR) &&
                            !(flag & (BAM_FSECONDARY | BAM_FSUPPLEMENTARY | BAM_FMUNMAP)) &&
                            b_->core.isize != 0 && b_->core.mtid == b_->core.tid;
        const int64_t pos = b_->core.pos, mpos = b_->core.mpos;
        const bool left = pos < mpos || (pos == mpos && (flag & BAM_FREAD1));
        const bool forward_reverse =
            pos == mpos ? !(flag & BAM_FREVERSE) != !(flag & BAM_FMREVERSE)
                        : !(flag & BAM_FREVERSE) && (flag & BAM_FMREVERSE);
        if (!paired || !left || !forward_reverse)
            return false;
    }
    if (filter_.strand != 0) {
        // a fragment lies on the strand of its first read: the strand of a
        // second mate whose mate is mapped is turned round (bedtools -du)
        bool reverse = flag & BAM_FREVERSE;
        if ((flag & BAM_FPAIRED) && (flag & BAM_FREAD2) && !(flag & BAM_FMUNMAP))
            reverse = !reverse;
        if ((reverse ? -1 : 1) != filter_.strand)
            return false;
    }
    return true;
}

// Adds s..e, clipped to the sequence, where it meets the query's region.
static void add_block(Blocks *out, int64_t s, int64_t e, int64_t beg,
                      int64_t end, int64_t length)
{
    s = std::max<int64_t>(s, 1);
    e = std::min(e, length);
    if (s <= e && e >= beg && s <= end && s <= INT_MAX)
        out->add(s, e);
}

// FNV-1a: read names hashed without a copy of them.
static uint64_t name_hash(const char *name)
{
    uint64_t h = 1469598103934665603ULL;
    for (; *name; ++name)
        h = (h ^ static_cast<unsigned char>(*name)) * 1099511628211ULL;
    return h;
}

// `kept` (sorted, disjoint blocks, start and end in turn) with the blocks
// of `more` (sorted, as a read's are) added: one merge of the two lists.
static void merge_blocks(std::vector<int64_t> *kept, const Blocks &more,
                         std::vector<int64_t> *scratch)
{
    std::vector<int64_t> &out = *scratch;
    out.clear();
    const std::vector<int64_t> &a = *kept;
    size_t i = 0, j = 0;
    while (i < a.size() || j < more.starts.size()) {
        int64_t s, e;
        if (j == more.starts.size() || (i < a.size() && a[i] <= more.starts[j])) {
            s = a[i];
            e = a[i + 1];
            i += 2;
        } else {
            s = more.starts[j];
            e = more.ends[j];
            ++j;
        }
        if (!out.empty() && s <= out.back() + 1) {
            out.back() = std::max(out.back(), e);
        } else {
            out.push_back(s);
            out.push_back(e);
        }
    }
    kept->swap(out);
}

// Templates that end before `before` can overlap no later record: reads
// come sorted by their start.
void AlignmentFile::forget_templates(int64_t before)
{
    for (auto it = templates_.begin(); it != templates_.end();) {
        if (it->second.last < before)
            it = templates_.erase(it);
        else
            ++it;
    }
    forget_at_ = std::max<size_t>(4096, 2 * templates_.size());
}

// The blocks of a read that other records of its template may cover too:
// it adds only what those met before it do not cover. With overlap once,
// every record of a paired template takes part, supplementary pieces too
// (samtools depth -s pairs them as well), and a base counts once however
// many of them cover it. With overlap proper, as mosdepth, only the two
// mates of a proper pair do.
void AlignmentFile::mate_blocks(Blocks *out)
{
    const uint32_t flag = b_->core.flag;
    const bool once = filter_.overlap == Overlap::once;
    const bool pairs =
        (flag & BAM_FPAIRED) &&
        (once || ((flag & BAM_FPROPER_PAIR) && !(flag & BAM_FSUPPLEMENTARY) &&
                  !(flag & BAM_FMUNMAP) && b_->core.mtid == b_->core.tid));
    if (!pairs) {
        alignment_blocks(b_, filter_, beg_, end_, out);
        return;
    }
    scratch_.clear();
    alignment_blocks(b_, filter_, 1, INT_MAX, &scratch_);
    const char *name = bam_get_qname(b_);
    const uint64_t key = name_hash(name);
    auto seen = templates_.end();
    for (auto range = templates_.equal_range(key); range.first != range.second;
         ++range.first) {
        if (range.first->second.name == name) {
            seen = range.first;
            break;
        }
    }
    static const std::vector<int64_t> none;
    const std::vector<int64_t> &other = seen == templates_.end() ? none : seen->second.blocks;
    for (size_t i = 0; i < scratch_.starts.size(); ++i) {
        int64_t from = scratch_.starts[i];
        const int64_t to = scratch_.ends[i];
        for (size_t k = 0; k < other.size() && from <= to; k += 2) {
            if (other[k + 1] < from || other[k] > to)
                continue;
            if (other[k] > from)
                add_block(out, from, other[k] - 1, beg_, end_, INT64_MAX);
            from = std::max(from, other[k + 1] + 1);
        }
        if (from <= to)
            add_block(out, from, to, beg_, end_, INT64_MAX);
    }
    if (scratch_.starts.empty())
        return;
    if (once) {
        // any later record of the template may overlap this one
        if (seen == templates_.end()) {
            if (templates_.size() >= forget_at_)
                forget_templates(held_start());
            seen = templates_.emplace(key, Template{name, {}, 0});
        }
        merge_blocks(&seen->second.blocks, scratch_, &merged_);
        seen->second.last = std::max(seen->second.last, scratch_.hi);
    } else if (seen != templates_.end()) {
        templates_.erase(seen);
    } else if (b_->core.mpos >= b_->core.pos && b_->core.mpos + 1 <= scratch_.hi) {
        // the mate starts inside this read
        Template &t = templates_.emplace(key, Template{name, {}, scratch_.hi})->second;
        merge_blocks(&t.blocks, scratch_, &merged_);
    }
}

void AlignmentFile::take(Blocks *out)
{
    pending_ = false;
    const size_t first = out->starts.size();
    const int64_t pos = static_cast<int64_t>(b_->core.pos) + 1;
    if (filter_.fragments) {
        const int64_t length = target_length(tid_);
        // passes() let only the left mate through
        const int64_t tlen = std::abs(static_cast<int64_t>(b_->core.isize));
        add_block(out, pos, pos + tlen - 1, beg_, end_, length);
    } else if (filter_.extend > 0) {
        const int64_t length = target_length(tid_);
        if (b_->core.flag & BAM_FREVERSE) {
            const int64_t last = reference_end(b_);
            add_block(out, last - filter_.extend + 1, last, beg_, end_, length);
        } else {
            add_block(out, pos, pos + filter_.extend - 1, beg_, end_, length);
        }
    } else if (filter_.overlap != Overlap::count) {
        mate_blocks(out);
    } else {
        alignment_blocks(b_, filter_, beg_, end_, out);
    }
    ++out->reads;
    for (size_t i = first; i < out->starts.size(); ++i)
        out->bases += static_cast<double>(out->ends[i]) - out->starts[i] + 1;
}

} // namespace tolvendra
