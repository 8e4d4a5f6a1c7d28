#include "alignments.h"

#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <errno.h>

#include <htslib/faidx.h>
#include <htslib/hfile.h>
#include <htslib/hts.h>
#include <htslib/kstring.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>

namespace tolvendra {

// Each file counts its own records and adds them here once a query ends:
// threads read at once, and an atomic count per record would cost.
static std::atomic<int64_t> decoded(0);

int64_t records_decoded() { return decoded.load(); }

void AlignmentFile::tally()
{
    decoded += decoded_;
    decoded_ = 0;
}

AlignmentFile::~AlignmentFile()
{
    tally();
    if (owned_)
        bam_destroy1(owned_);
    if (itr_)
        hts_itr_destroy(itr_);
    if (idx_)
        hts_idx_destroy(idx_);
    if (hdr_)
        sam_hdr_destroy(hdr_);
    if (fp_)
        sam_close(fp_);
}

Status AlignmentFile::open(const char *path, const char *index,
                           const char *reference)
{
    fp_ = sam_open(path, "r");
    if (!fp_) {
        if (!hisremote(path))
            return fault(Fault::open, "could not be opened");
        // 404, a refused connection or a time-out: htslib says which in errno
        return fault(Fault::open, std::string("could not be read from its server (") +
                                      strerror(errno) + ")");
    }
    const htsExactFormat format = hts_get_format(fp_)->format;
    if (format != bam && format != cram)
        return fault(Fault::format, "is neither a BAM nor a CRAM file");
    cram_ = format == cram;
    reference_ = reference ? reference : "";
    if (reference && *reference && hts_set_fai_filename(fp_, reference) != 0)
        return fault(Fault::reference, "could not use the reference FASTA");
    const int eof = hts_check_EOF(fp_);
    if (eof == 0)
        return fault(Fault::truncated, "has no end-of-file marker: it is "
                                       "truncated or still being written");
    if (eof < 0)
        return fault(Fault::open, "could not be read to its end");
    hdr_ = sam_hdr_read(fp_);
    if (!hdr_)
        return fault(Fault::header, "has a header that could not be read");
    if (!index && hisremote(path)) {
        // Named in full, so that htslib never takes (or leaves) an index in
        // the working folder for a file on a server.
        static const char *const bam_suffixes[] = {".bai", ".csi", nullptr};
        static const char *const cram_suffixes[] = {".crai", nullptr};
        std::string tried;
        for (const char *const *suffix = cram_ ? cram_suffixes : bam_suffixes; *suffix;
             ++suffix) {
            const std::string candidate = std::string(path) + *suffix;
            idx_ = sam_index_load3(fp_, path, candidate.c_str(), HTS_IDX_SILENT_FAIL);
            if (idx_)
                break;
            tried += (tried.empty() ? "" : " or ") + std::string(*suffix);
        }
        if (!idx_)
            return fault(Fault::index, "has no index beside it on its server (" + tried +
                                           "), or the server could not be reached");
    } else {
        idx_ = sam_index_load3(fp_, path, index, HTS_IDX_SILENT_FAIL);
    }
    if (!idx_)
        return fault(Fault::index, "has an index that could not be read");
    // A CRAM index is not a sequence table, so only BAM indexes are compared.
    if (format == bam && hts_idx_nseq(idx_) != sam_hdr_nref(hdr_)) {
        char what[160];
        snprintf(what, sizeof what,
                 "has an index for %d sequences, but its header names %d",
                 hts_idx_nseq(idx_), sam_hdr_nref(hdr_));
        return fault(Fault::index, what);
    }
    owned_ = b_ = bam_init1();
    if (!owned_)
        return fault(Fault::open, "could not allocate a read");
    // never freed or grown: its data lies in BGZF's block
    view_.mempolicy = BAM_USER_OWNS_STRUCT | BAM_USER_OWNS_DATA;
    return Status();
}

int AlignmentFile::targets() const { return hdr_ ? sam_hdr_nref(hdr_) : 0; }

const char *AlignmentFile::target_name(int tid) const
{
    return sam_hdr_tid2name(hdr_, tid);
}

int64_t AlignmentFile::target_length(int tid) const
{
    return sam_hdr_tid2len(hdr_, tid);
}

bool AlignmentFile::index_counts(int tid, uint64_t *mapped,
                                 uint64_t *unmapped) const
{
    if (hts_get_format(fp_)->format != bam)
        return false;
    if (hts_idx_get_stat(idx_, tid, mapped, unmapped) != 0)
        *mapped = *unmapped = 0;
    return true;
}

int AlignmentFile::tid_of(const char *name) const
{
    return sam_hdr_name2tid(hdr_, name);
}

Status AlignmentFile::query(int tid, int64_t beg, int64_t end,
                            const ReadFilter &filter, int64_t own_from,
                            int64_t own_to)
{
    if (itr_)
        hts_itr_destroy(itr_);
    tally();
    // A whole sequence is asked to its index's end, so that reads placed
    // past the sequence's length are seen and counted too.
    const bool whole = beg <= 1 && end >= target_length(tid);
    // Extended reads reach the region from up to `extend` bases away; a
    // fragment can span it with neither mate inside, so its left mate is
    // looked for from the sequence's start. A part of a split query reads
    // from its first own start (0-based: own_from - 1) the records that
    // reach it, to the last of its own starts.
    int64_t from = filter.fragments ? 0 : std::max<int64_t>(0, beg - 1 - filter.extend);
    int64_t to = whole ? HTS_POS_MAX : end + filter.extend;
    if (own_from != INT64_MIN)
        from = std::max<int64_t>(0, own_from - 1);
    if (own_to != INT64_MAX)
        to = std::max<int64_t>(from, own_to);
    itr_ = iterator(tid, from, to);
    if (!itr_)
        return fault(Fault::index, "has an index that cannot answer a query");
    tid_ = tid;
    beg_ = beg;
    end_ = end;
    filter_ = filter;
    own_from_ = own_from;
    own_to_ = own_to;
    pending_ = false;
    last_pos_ = -1;
    mapped_seen_ = 0;
    templates_.clear();
    return Status();
}

bool AlignmentFile::whole_sequence() const
{
    return beg_ <= 1 && end_ >= target_length(tid_);
}

Status AlignmentFile::check_counts(uint64_t seen) const
{
    uint64_t mapped = 0, unmapped = 0;
    if (!whole_sequence() || !index_counts(tid_, &mapped, &unmapped) ||
        mapped == seen)
        return Status();
    char what[240];
    snprintf(what, sizeof what,
             "has an index that counts %llu mapped reads on %s, but the file "
             "holds %llu there", static_cast<unsigned long long>(mapped),
             sam_hdr_tid2name(hdr_, tid_),
             static_cast<unsigned long long>(seen));
    return fault(Fault::index, what);
}

// The header's value of tag `tag` for sequence `name`; empty if none.
static std::string sq_tag(sam_hdr_t *hdr, const char *name, const char *tag)
{
    kstring_t ks = KS_INITIALIZE;
    std::string value;
    if (sam_hdr_find_tag_id(hdr, "SQ", "SN", name, tag, &ks) == 0 && ks.s)
        value = ks.s;
    ks_free(&ks);
    return value;
}

// MD5 of a sequence as the SAM header's M5 tag has it: upper case, with
// characters outside 33..126 left out.
static std::string sequence_md5(const char *seq, hts_pos_t len)
{
    hts_md5_context *md5 = hts_md5_init();
    if (!md5)
        return "";
    std::string clean;
    clean.reserve(static_cast<size_t>(len));
    for (hts_pos_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(seq[i]);
        if (c >= 33 && c <= 126)
            clean.push_back(static_cast<char>(toupper(c)));
    }
    hts_md5_update(md5, clean.data(), static_cast<unsigned long>(clean.size()));
    unsigned char digest[16];
    char hex[33];
    hts_md5_final(digest, md5);
    hts_md5_destroy(md5);
    hts_md5_hex(hex, digest);
    return hex;
}

// A CRAM slice that cannot be decoded most often lacks its reference, or
// was given another: the sequence's MD5 in the header against the
// reference's (the one given, else the one the header names) tells which.
// No fault comes back when the reference is right, or there is no MD5 to
// compare: the file itself is then damaged.
Status AlignmentFile::check_reference() const
{
    const char *name = sam_hdr_tid2name(hdr_, tid_);
    const std::string expected = sq_tag(hdr_, name, "M5");
    std::string fasta = reference_;
    if (fasta.empty()) {
        fasta = sq_tag(hdr_, name, "UR");
        if (fasta.compare(0, 7, "file://") == 0)
            fasta.erase(0, 7);
    }
    const char *given = reference_.empty() ? "the reference FASTA its header names"
                                           : "`reference`";
    char what[240];
    if (fasta.empty() || access(fasta.c_str(), R_OK) != 0) {
        if (!reference_.empty())
            return fault(Fault::reference, "could not read `reference`");
        snprintf(what, sizeof what,
                 "could not be decoded on %s without the reference FASTA it "
                 "was written against, which was not given and not found",
                 name);
        return fault(Fault::reference, what);
    }
    faidx_t *fai = fai_load(fasta.c_str());
    if (!fai) {
        snprintf(what, sizeof what,
                 "could not be decoded on %s: %s (%.100s) has no readable "
                 ".fai index", name, given, fasta.c_str());
        return fault(Fault::reference, what);
    }
    hts_pos_t len = 0;
    char *seq = faidx_fetch_seq64(fai, name, 0, HTS_POS_MAX, &len);
    fai_destroy(fai);
    if (!seq) {
        snprintf(what, sizeof what,
                 "could not be decoded on %s: %s (%.100s) has no sequence %s, "
                 "so it is not the FASTA the file was written against", name,
                 given, fasta.c_str(), name);
        return fault(Fault::reference, what);
    }
    const std::string got = expected.empty() ? "" : sequence_md5(seq, len);
    free(seq);
    if (expected.empty() || got.empty() || strcasecmp(got.c_str(), expected.c_str()) == 0)
        return Status();
    snprintf(what, sizeof what,
             "could not be decoded on %s: %s (%.100s) is not the FASTA the "
             "file was written against (MD5 of %s %s, not %s)", name, given,
             fasta.c_str(), name, got.c_str(), expected.c_str());
    return fault(Fault::reference, what);
}

// BAM records come through read_bam(), CRAM's through htslib.
hts_itr_t *AlignmentFile::iterator(int tid, hts_pos_t from, hts_pos_t to) const
{
    return cram_ ? sam_itr_queryi(idx_, tid, from, to)
                 : hts_itr_query(idx_, tid, from, to, &AlignmentFile::read_bam);
}

int AlignmentFile::read_bam(BGZF *fp, void *file, void *, int *tid,
                            hts_pos_t *beg, hts_pos_t *end)
{
    AlignmentFile &f = *static_cast<AlignmentFile *>(file);
    int64_t last = 0;
    const int r = read_bam_record(fp, sam_hdr_nref(f.hdr_), f.owned_, &f.view_, &f.b_, &last);
    if (r >= 0) {
        *tid = f.b_->core.tid;
        *beg = f.b_->core.pos;
        *end = last;
    }
    return r;
}

int AlignmentFile::next_record()
{
    return cram_ ? sam_itr_next(fp_, itr_, b_) : hts_itr_next(fp_->fp.bgzf, itr_, nullptr, this);
}

bool AlignmentFile::read_next(Status *status)
{
    const int r = next_record();
    if (r == -1)
        return false;
    // the sequence's name, only to say what went wrong
    char what[200];
    const char *name = r < -1 || b_->core.tid != tid_ || b_->core.pos < last_pos_
                           ? sam_hdr_tid2name(hdr_, tid_) : nullptr;
    if (r < -1 && cram_) {
        *status = check_reference();
        if (!status->ok())
            return false;
    }
    if (r < -1 && last_pos_ < 0) {
        // Nothing read yet: the index pointed at bytes that are no reads.
        snprintf(what, sizeof what,
                 "could not be read where its index points for %s "
                 "(htslib error %d): the index belongs to another file, or "
                 "the file is damaged", name, r);
        *status = fault(Fault::index, what);
        return false;
    }
    if (r < -1) {
        snprintf(what, sizeof what,
                 "could not be read after %s:%lld (htslib error %d)", name,
                 static_cast<long long>(last_pos_ + 1), r);
        *status = fault(Fault::damaged, what);
        return false;
    }
    // An index taken from another file points at the wrong reads.
    if (b_->core.tid != tid_ || b_->core.pos < last_pos_) {
        snprintf(what, sizeof what,
                 "gave a read out of place in a query of %s "
                 "(the index belongs to another file, or the file is not "
                 "sorted by position)", name);
        *status = fault(Fault::index, what);
        return false;
    }
    last_pos_ = b_->core.pos;
    own_ = last_pos_ + 1 >= own_from_;
    if (own_) {
        ++decoded_;
        if (!(b_->core.flag & BAM_FUNMAP))
            ++mapped_seen_;
    }
    return true;
}

bool AlignmentFile::next(int64_t span, size_t max_blocks, Blocks *out,
                         Status *status)
{
    bool any = false;
    int64_t first = -1;
    while (peek(status)) {
        const int64_t pos = held_start();
        if (first < 0)
            first = pos;
        else if (pos - first >= span || out->starts.size() >= max_blocks)
            break; // it opens the next batch
        take(out);
        any = true;
    }
    return any && status->ok();
}

bool AlignmentFile::peek(Status *status)
{
    if (!status->ok())
        *status = Status();
    if (!itr_)
        return false;
    while (!pending_) {
        if (!read_next(status)) {
            if (!status->ok())
                return false;
            if (own_from_ == INT64_MIN && own_to_ == INT64_MAX)
                *status = check_counts(mapped_seen_);
            hts_itr_destroy(itr_);
            itr_ = nullptr;
            tally();
            return false;
        }
        pending_ = passes();
        if (pending_ && !own_) {
            // another part's read: only its template's record, for the
            // mates of this part's reads to meet
            if (filter_.overlap != Overlap::count && !filter_.fragments &&
                filter_.extend == 0) {
                ignored_.clear();
                mate_blocks(&ignored_);
            }
            pending_ = false;
        }
    }
    return true;
}

Status AlignmentFile::count_library(const ReadFilter &filter, int64_t *reads,
                                    double *bases)
{
    *reads = 0;
    *bases = 0;
    Blocks blocks;
    for (int tid = 0; tid < targets(); ++tid) {
        Status st = query(tid, 1, target_length(tid), filter);
        while (st.ok() && peek(&st)) {
            take(&blocks);
            *reads += blocks.reads;
            *bases += blocks.bases;
            blocks.clear();
        }
        if (!st.ok())
            return st;
    }
    return Status();
}

Status AlignmentFile::count_mapped(uint64_t *mapped)
{
    *mapped = 0;
    if (itr_)
        hts_itr_destroy(itr_);
    itr_ = iterator(HTS_IDX_START, 0, 0);
    if (!itr_)
        return fault(Fault::index, "has an index that cannot answer a query");
    tid_ = -1;
    pending_ = false;
    int last_tid = 0;
    for (;;) {
        const int r = next_record();
        if (r == -1)
            break;
        if (r < -1 && cram_) {
            // a CRAM slice that cannot be decoded most often lacks its
            // reference: say so rather than blame the file
            tid_ = last_tid;
            Status s = check_reference();
            tid_ = -1;
            if (!s.ok())
                return s;
        }
        if (r < -1)
            return fault(Fault::damaged, "could not be read to its end while "
                                         "counting its mapped reads");
        if (b_->core.tid >= 0)
            last_tid = b_->core.tid;
        ++decoded_;
        if (!(b_->core.flag & BAM_FUNMAP))
            ++*mapped;
    }
    hts_itr_destroy(itr_);
    itr_ = nullptr;
    tally();
    return Status();
}

} // namespace tolvendra
