// Reading aligned blocks from indexed BAM and CRAM files through htslib:
// the file, its queries and its faults (alignments.cpp), and how a read
// becomes blocks under the reading options (reads.cpp). Plain C++ with no
// R in it, so that it can be fuzzed and reused; the R entry points live in
// src/r/.
#ifndef TOLVENDRA_ALIGNMENTS_H
#define TOLVENDRA_ALIGNMENTS_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>
#include <utility>
#include <unordered_map>
#include <vector>

#include <htslib/sam.h>

namespace tolvendra {

// How the mates of a pair count where both cover a base.
enum class Overlap {
    count,  // twice
    once,   // once, for any two records of a template (samtools depth -s)
    proper  // once, for the mates of proper pairs only (mosdepth)
};

// Which reads count, and how a read becomes blocks of the reference.
struct ReadFilter {
    int min_mapq = 0;
    // unmapped, secondary, QC-failed and duplicate reads, as samtools depth
    uint32_t exclude_flags = BAM_FUNMAP | BAM_FSECONDARY | BAM_FQCFAIL | BAM_FDUP;
    uint32_t include_flags = 0; // a read must have all of these
    bool split = true;      // a read's blocks end at each intron (CIGAR N)
    bool deletions = true;  // deletions (CIGAR D) are covered
    Overlap overlap = Overlap::count;
    bool fragments = false; // a forward-reverse proper pair counts as its
                            // whole fragment
    int64_t extend = 0;     // above 0: a read extended along its strand
    int strand = 0;         // 1 or -1: only fragments on that strand
};

// Blocks of the reference covered by reads, 1-based and closed.
struct Blocks {
    std::vector<int> starts, ends;
    int64_t reads = 0;          // reads (or fragments) counted
    double bases = 0;           // bases of the reference they cover
    int64_t lo = 0, hi = -1;    // smallest start and largest end
    void clear();
    void add(int64_t start, int64_t end);
};

// What went wrong, in words, and what kind of fault it is, so that the
// caller can say how to fix it.
enum class Fault {
    none, open, format, truncated, header, index, damaged,
    reference,   // a CRAM file's reference FASTA is missing or another one
    overflow,    // a sum that 32-bit integers cannot hold
    memory,      // not the file's fault: memory ran out
    interrupted  // the user stopped the work
};

struct Status {
    Fault fault = Fault::none;
    std::string what;
    bool ok() const { return fault == Fault::none; }
};

inline Status fault(Fault kind, std::string what)
{
    Status s;
    s.fault = kind;
    s.what = std::move(what);
    return s;
}

// One open alignment file with its index, and at most one region query.
class AlignmentFile {
public:
    AlignmentFile() = default;
    AlignmentFile(const AlignmentFile &) = delete;
    AlignmentFile &operator=(const AlignmentFile &) = delete;
    ~AlignmentFile();

    // `index` and `reference` may be null: the index is then looked for
    // beside the file, and CRAM references where htslib looks for them.
    // The file is decompressed on the thread that reads it: parallel
    // reading opens one AlignmentFile per thread (engine/producer.cpp).
    Status open(const char *path, const char *index, const char *reference);

    int targets() const;
    const char *target_name(int tid) const;
    int64_t target_length(int tid) const;
    // Mapped and unmapped read counts of a sequence, from the index: false
    // where the index keeps no counts (CRAM). A BAM index counts only the
    // sequences that have reads, so the others have none.
    bool index_counts(int tid, uint64_t *mapped, uint64_t *unmapped) const;
    int tid_of(const char *name) const;

    // Starts a query of positions beg..end (1-based, closed) of `tid`.
    // Given `own_from` and `own_to`, the query hands out (and counts as
    // decoded and mapped) only the reads that start within them, with their
    // blocks within beg..end: a thread's part of a query split by reads'
    // starts. Records before own_from that reach it are still read, so that
    // mates counted once see the records of their template met before.
    Status query(int tid, int64_t beg, int64_t end, const ReadFilter &filter,
                 int64_t own_from = INT64_MIN, int64_t own_to = INT64_MAX);

    // Appends to `out` the blocks overlapping the query region of the next
    // reads that start less than `span` positions after the first of them,
    // or until at least `max_blocks` blocks are held. Returns false once the
    // query is exhausted and nothing was added.
    bool next(int64_t span, size_t max_blocks, Blocks *out, Status *status);

    // Read by read: peek() holds the next read of the query that passes the
    // filter and returns true, or returns false once the query is exhausted
    // (or failed: see `status`). held_start() is its first coordinate,
    // 1-based; take() adds its blocks within the query to `out` and lets the
    // next read come.
    bool peek(Status *status);
    int64_t held_start() const { return static_cast<int64_t>(b_->core.pos) + 1; }
    void take(Blocks *out);

    // Mapped records of the query's own seen so far.
    uint64_t mapped_seen() const { return mapped_seen_; }
    // After a whole sequence read in parts, every mapped read the index
    // counts must have been seen (`mapped`, the parts' mapped_seen()); a
    // shortfall means the index describes another file. A query not split
    // checks itself when exhausted.
    Status check_counts(uint64_t mapped) const;

    // Counts the mapped reads of the whole file, read by read, for files
    // whose index keeps no counts.
    Status count_mapped(uint64_t *mapped);

    // Counts the reads (or fragments) of every sequence that the filter
    // keeps, and the bases they cover, as the coverage counts them.
    Status count_library(const ReadFilter &filter, int64_t *reads,
                         double *bases);

private:
    // The query's next read into b_: false at its end, or on a fault,
    // which *status then holds.
    bool read_next(Status *status);
    // A query's iterator, and its next record into b_ (htslib's return).
    hts_itr_t *iterator(int tid, hts_pos_t from, hts_pos_t to) const;
    int next_record();
    static int read_bam(BGZF *fp, void *file, void *, int *tid, hts_pos_t *beg,
                        hts_pos_t *end);
    bool whole_sequence() const;
    void tally();
    Status check_reference() const;
    bool passes() const;
    void mate_blocks(Blocks *out);
    void forget_templates(int64_t before);

    htsFile *fp_ = nullptr;
    sam_hdr_t *hdr_ = nullptr;
    hts_idx_t *idx_ = nullptr;
    hts_itr_t *itr_ = nullptr;
    bam1_t *owned_ = nullptr; // records htslib reads, and CRAM's
    bam1_t view_ = bam1_t();  // records read in place
    bam1_t *b_ = nullptr;     // the record at hand: one of the two
    bool pending_ = false; // b_ holds a read not yet handed out
    int tid_ = -1;
    int64_t beg_ = 0, end_ = 0;
    int64_t last_pos_ = -1;
    int64_t own_from_ = INT64_MIN, own_to_ = INT64_MAX;
    bool own_ = true;         // the read in b_ starts within own_from..own_to
    uint64_t mapped_seen_ = 0;
    int64_t decoded_ = 0;     // records of its own not yet in records_decoded()
    ReadFilter filter_;
    // Templates met whose later records may overlap them (overlap once or
    // proper), by a hash of their name: the name, the blocks covered so far
    // (sorted, disjoint, start and end in turn) and the last of them.
    struct Template {
        std::string name;
        std::vector<int64_t> blocks;
        int64_t last;
    };
    std::unordered_multimap<uint64_t, Template> templates_;
    size_t forget_at_ = 4096;
    std::vector<int64_t> merged_; // scratch of merge_blocks()
    Blocks scratch_, ignored_;
    bool cram_ = false;
    std::string reference_; // as given to open(); empty if none
};

// Adds to `out` the reference blocks of one alignment, 1-based and closed:
// split at N when `filter.split`, else one block from its first to its
// last aligned base; deletions (D) covered, or split at when not
// `filter.deletions`. Blocks not overlapping beg..end are left out.
void alignment_blocks(const bam1_t *b, const ReadFilter &filter, int64_t beg,
                      int64_t end, Blocks *out);

// Operation i of a record's CIGAR. A record read in place (read_bam_record)
// keeps its CIGAR where the file has it, after a name of any length, so it
// is read without assuming 4-byte alignment.
inline uint32_t cigar_at(const bam1_t *b, uint32_t i)
{
    uint32_t op;
    memcpy(&op, b->data + b->core.l_qname + 4 * static_cast<size_t>(i), sizeof op);
    return op;
}

// One past the last reference base of a record, 0-based, as bam_endpos().
int64_t reference_end(const bam1_t *b);

// The next record of a BAM file, as sam_read1() reads it and with its
// return values: into `owned`, or, where the record lies whole and sound
// in the block already inflated, as `view` of it, valid until the next
// read. *got is the one filled; *end the record's end, as reference_end().
int read_bam_record(BGZF *fp, int n_targets, bam1_t *owned, bam1_t *view,
                    bam1_t **got, int64_t *end);

// Records decoded by every AlignmentFile of the process, so that a caller
// can tell how often a file was read: a record read by two threads of a
// split query (it reaches from one's part into the other's) counts once.
int64_t records_decoded();

} // namespace tolvendra

#endif
