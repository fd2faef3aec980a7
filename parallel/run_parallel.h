// Running one per-particle pass on several worker threads.
//
// Each call splits [0, particleCount) into threadCount contiguous ranges
// (chunk = N / T; the last range also takes the N - T * chunk left over),
// starts one fresh thread per range and joins them all before returning.
// There is no pool: nothing outlives the call, passes never overlap, and a
// step costs 3 * T thread starts. The static split is what makes a given
// thread count reproduce one trajectory bit for bit.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "solver/fluid_system.h"

namespace sph {

// The most worker threads a pass may be asked for: far above any useful
// count on a desktop, low enough that a typo cannot ask for millions of
// thread starts per pass.
inline constexpr int32_t MAX_THREAD_COUNT = 1024;

struct WorkRange {
  int32_t begin;
  int32_t end;
};

// A thread entry taking a pointer to its WorkRange and returning 0.
using WorkerEntry = void* (*)(void*);

void* densityRateWorker(void* range);
void* stateWorker(void* range);
void* forcesWorker(void* range);

// The range of worker k of `threadCount` over `particleCount` particles.
WorkRange workRangeFor(int32_t particleCount, int32_t threadCount, int32_t k);

// Runs `entry` on max(threadCount, 1) threads, one per range, and returns
// when all are done. If a thread cannot be started, its range runs on the
// calling thread before the joins, so every range is always processed.
// An exception a range throws is thrown again here, after every range has
// ended (the first one, if several throw).
void runParallel(FluidSystem& system, WorkerEntry entry);

// How threads are started; replaceable so tests can make starts fail.
// Same contract as pthread_create with default attributes.
using ThreadStarter = int (*)(pthread_t* thread, WorkerEntry entry, void* argument);
extern ThreadStarter startThread;

}  // namespace sph
