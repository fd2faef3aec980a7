// The console dialogue that chooses the number of worker threads.
//
// It works on plain streams so the window program passes std::cin, std::cout
// and std::cerr while the tests pass string streams. The page has no blocking
// read: it hands each typed line to readThreadAnswer as a stream of its own,
// so the window and the page take and refuse exactly the same answers.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "parallel/run_parallel.h"

namespace sph {

inline constexpr int32_t MIN_THREAD_COUNT = 1;

// Writes "Number of threads: " and flushes, so it shows while the program
// waits for the answer.
void promptThreadCount(std::ostream& prompts);

enum class ThreadAnswer { Taken, Refused, Missing };

// Reads one answer from `in` by formatted extraction: leading white space
// (line ends too) is skipped and reading stops at the first character that
// cannot continue the number, so "3 threads" gives 3 in `count` and the rest
// of that line is never read (Taken). An answer that is not a number, does
// not fit in 32 bits or lies outside [MIN_THREAD_COUNT, maxCount] gets
// "Please enter a whole number from 1 to <maxCount>." on `errors` and the
// rest of its line is discarded (Refused). Missing: the input ended first.
ThreadAnswer readThreadAnswer(std::istream& in, int32_t maxCount, std::ostream& errors, int32_t& count);

// The whole dialogue on a console: prompts, then reads answers up to
// MAX_THREAD_COUNT until one is taken, prompting again after each refusal.
// If the input ends before a valid answer, a one-line message goes to
// `errors` and the result is 1.
int32_t readThreadCount(std::istream& in, std::ostream& prompts, std::ostream& errors);

}  // namespace sph
