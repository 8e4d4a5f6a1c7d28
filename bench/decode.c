/* The floor of reading a BAM file: decode every record with sam_read1()
 * and count them, nothing else. Built twice by bench/bam.R, against
 * Rhtslib's static htslib and against the system's libhts.so, to time
 * decompression alone under each. Usage: decode <file.bam> [threads] */
#include <stdio.h>
#include <stdlib.h>
#include <htslib/sam.h>

int main(int argc, char **argv)
{
    if (argc < 2) return 2;
    samFile *in = sam_open(argv[1], "r");
    if (!in) return 1;
    if (argc > 2 && atoi(argv[2]) > 1) hts_set_threads(in, atoi(argv[2]) - 1);
    sam_hdr_t *header = sam_hdr_read(in);
    bam1_t *b = bam_init1();
    long n = 0;
    int r;
    while ((r = sam_read1(in, header, b)) >= 0) n++;
    printf("%ld\n", n);
    bam_destroy1(b);
    sam_hdr_destroy(header);
    sam_close(in);
    return r < -1;
}
