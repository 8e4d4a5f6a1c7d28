// BAM records read where they lie in the block BGZF has inflated, rather
// than copied out of it field by field as bam_read1() does: that copy and
// its calls cost a fifth of reading a file. A record that is not plainly
// whole and sound (one across two blocks, a name without its NUL, a CIGAR
// kept in a CG tag, any fault) goes to bam_read1() itself, untouched, so
// that htslib reads it and says what is wrong exactly as before.
#include "alignments.h"

#include <errno.h>
#include <string.h>

#include <htslib/bgzf.h>

namespace tolvendra {

// A little-endian 32-bit field; BGZF streams read on big-endian hosts
// (fp->is_be) never come here.
static inline uint32_t field32(const uint8_t *p)
{
    uint32_t x;
    memcpy(&x, p, sizeof x);
    return x;
}

// The query and reference lengths of a record's CIGAR, as
// bam_cigar2rqlens() counts them.
static void cigar_lengths(const bam1_t *b, int64_t *query, int64_t *reference)
{
    *query = *reference = 0;
    for (uint32_t i = 0; i < b->core.n_cigar; ++i) {
        const uint32_t op = cigar_at(b, i);
        const int type = bam_cigar_type(bam_cigar_op(op));
        if (type & 1)
            *query += bam_cigar_oplen(op);
        if (type & 2)
            *reference += bam_cigar_oplen(op);
    }
}

// bam_endpos() of a record whose CIGAR covers `reference` positions: an
// unmapped record, or one covering none, ends one past its start.
static int64_t end_of(const bam1_t *b, int64_t reference)
{
    if (b->core.flag & BAM_FUNMAP)
        reference = 0;
    return static_cast<int64_t>(b->core.pos) + (reference == 0 ? 1 : reference);
}

int64_t reference_end(const bam1_t *b)
{
    int64_t query, reference;
    cigar_lengths(b, &query, &reference);
    return end_of(b, reference);
}

int read_bam_record(BGZF *fp, int n_targets, bam1_t *owned, bam1_t *view,
                    bam1_t **got, int64_t *end)
{
    const int available = fp->block_length - fp->block_offset;
    if (!fp->is_be && available > 36) {
        const uint8_t *p = static_cast<const uint8_t *>(fp->uncompressed_block) +
                           fp->block_offset;
        const int32_t block_len = static_cast<int32_t>(field32(p));
        // whole inside the block, and not up to its end, past which
        // bgzf_read() would move on to the next block
        if (block_len >= 32 && block_len < available - 4) {
            const uint8_t *core = p + 4;
            bam1_core_t &c = view->core;
            c.tid = static_cast<int32_t>(field32(core));
            c.pos = static_cast<int32_t>(field32(core + 4));
            const uint32_t x2 = field32(core + 8), x3 = field32(core + 12);
            c.bin = static_cast<uint16_t>(x2 >> 16);
            c.qual = static_cast<uint8_t>(x2 >> 8 & 0xff);
            c.l_qname = static_cast<uint16_t>(x2 & 0xff);
            c.l_extranul = 0;
            c.flag = static_cast<uint16_t>(x3 >> 16);
            c.n_cigar = x3 & 0xffff;
            c.l_qseq = static_cast<int32_t>(field32(core + 16));
            c.mtid = static_cast<int32_t>(field32(core + 20));
            c.mpos = static_cast<int32_t>(field32(core + 24));
            c.isize = static_cast<int32_t>(field32(core + 28));
            view->data = const_cast<uint8_t *>(core + 32);
            view->l_data = view->m_data = block_len - 32;
            const uint64_t needed = (static_cast<uint64_t>(c.n_cigar) << 2) + c.l_qname +
                                    ((static_cast<uint64_t>(c.l_qseq) + 1) >> 1) +
                                    static_cast<uint64_t>(c.l_qseq);
            bool sound = c.l_qname >= 1 && c.l_qseq >= 0 &&
                         needed <= static_cast<uint64_t>(view->l_data) &&
                         view->data[c.l_qname - 1] == '\0' && c.tid < n_targets &&
                         c.tid >= -1 && c.mtid < n_targets && c.mtid >= -1;
            if (sound && c.n_cigar > 0) {
                // a whole read soft-clipped may stand for a CIGAR in a tag
                const uint32_t first = cigar_at(view, 0);
                sound = !(bam_cigar_op(first) == BAM_CSOFT_CLIP &&
                          bam_cigar_oplen(first) == static_cast<uint32_t>(c.l_qseq));
            }
            if (sound) {
                int64_t query, reference;
                cigar_lengths(view, &query, &reference);
                sound = !(c.l_qseq > 0 && !(c.flag & BAM_FUNMAP) && query != c.l_qseq);
                *end = end_of(view, reference);
            }
            if (sound) {
                fp->block_offset += 4 + block_len;
                fp->uncompressed_address += 4 + block_len;
                *got = view;
                return 4 + block_len;
            }
        }
    }
    const int r = bam_read1(fp, owned);
    // as sam_read1() checks a BAM record against its header
    if (r >= 0 && (owned->core.tid >= n_targets || owned->core.tid < -1 ||
                   owned->core.mtid >= n_targets || owned->core.mtid < -1)) {
        errno = ERANGE;
        return -3;
    }
    *got = owned;
    if (r >= 0)
        *end = reference_end(owned);
    return r;
}

} // namespace tolvendra
