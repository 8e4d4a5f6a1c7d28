// The alignment engine: one pass over each file for a group of targets,
// from the plan (plan.h) through a producer of depth (producer.h) to the
// consumers that each make one output (consumers.h). Plain C++ with no R
// in it; src/r/ calls it.
#ifndef TOLVENDRA_ENGINE_ENGINE_H
#define TOLVENDRA_ENGINE_ENGINE_H

#include "producer.h"
#include "request.h"

namespace tolvendra {

// Runs the pass of `request` over what `producer` gives (its sequences
// found), filling `result`; a fault leaves its status set and the rest
// incomplete. Throws std::bad_alloc when memory runs out.
void drive(Producer *producer, const Request &request, Result *result);

// drive() over the request's sources: alignment files, bigWig tracks or both.
void run_engine(const Request &request, Result *result);

// Counts, for each source, the reads (or fragments) of the whole file that
// its filter keeps and the bases they cover, as run_engine() counts them.
void count_libraries(const Request &request, Result *result);

} // namespace tolvendra

#endif
