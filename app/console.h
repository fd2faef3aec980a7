// The console dialogue that chooses the number of worker threads.
//
// It works on plain streams so the window program passes std::cin, std::cout
// and std::cerr while the tests pass string streams.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "parallel/run_parallel.h"

namespace sph {

inline constexpr int32_t MIN_THREAD_COUNT = 1;

// Writes "Number of threads: " to `prompts` (flushed before every read) and
// reads one integer from `in` by formatted extraction: leading white space is
// skipped and reading stops at the first character that cannot continue the
// number, so "3 threads" gives 3 and the rest of that line is never read.
// An answer that is not a number, does not fit in 32 bits or lies outside
// [MIN_THREAD_COUNT, MAX_THREAD_COUNT] gets a one-line message on `errors`,
// the rest of its line is discarded and the question is asked again. If the
// input ends before a valid answer, a one-line message goes to `errors` and
// the result is 1.
int32_t readThreadCount(std::istream& in, std::ostream& prompts, std::ostream& errors);

}  // namespace sph
