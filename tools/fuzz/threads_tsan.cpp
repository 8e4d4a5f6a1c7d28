// The engine over one file under ThreadSanitizer, its sequence read in
// stretches on several threads, every output asked (kept runs, span sums,
// regions, group statistics and histogram, reads per group): prints what
// it found, which must be the same on one thread.
//
//   threads_tsan BAM SEQNAME LENGTH THREADS MIN_STRETCH [once|fragments]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "../../src/engine/engine.h"

using namespace tolvendra;

int main(int argc, char **argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: %s BAM SEQNAME LENGTH THREADS MIN_STRETCH [once|fragments]\n",
                argv[0]);
        return 2;
    }
    Request rq;
    Source src;
    src.path = argv[1];
    if (argc > 6 && strcmp(argv[6], "once") == 0)
        src.filter.overlap = Overlap::once;
    if (argc > 6 && strcmp(argv[6], "fragments") == 0)
        src.filter.fragments = true;
    rq.sources.push_back(src);
    Target t;
    t.seqname = argv[2];
    t.end = atoll(argv[3]);
    rq.targets.push_back(t);
    rq.span_target = {0, 0};
    rq.span_start = {1, t.end / 2 + 1};
    rq.span_end = {t.end / 2, t.end};
    rq.regions = true;
    rq.factors = {1};
    rq.threshold = 5;
    rq.keep_runs = true;
    rq.span_group = {0, 1};
    rq.groups = 2;
    rq.group_reads = true;
    rq.group_stats = stat_sum | stat_bases | stat_min | stat_max | stat_median | stat_sd;
    rq.histogram = 50;
    rq.threads = atoi(argv[4]);
    rq.min_stretch = atoll(argv[5]);
    Result out;
    run_engine(rq, &out);
    const Runs &runs = out.runs.x[0];
    printf("fault %d, %lld reads, %.0f bases, %zu runs, sums %.0f %.0f, %zu regions, "
           "group reads %.0f %.0f, sd %.6f %.6f\n",
           static_cast<int>(out.status.fault), static_cast<long long>(out.reads[0]),
           out.bases[0], runs.at.size(), out.sums.x[0], out.sums.x[1],
           out.regions.start.size(), out.groups.reads.x[0], out.groups.reads.x[1],
           out.groups.sd.x[0], out.groups.sd.x[1]);
    return out.status.ok() ? 0 : 1;
}
