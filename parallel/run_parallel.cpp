#include "run_parallel.h"

#include <cstdlib>

#include "solver/memory.h"
#include "solver/passes.h"

namespace sph {

namespace {
int startPosixThread(pthread_t* thread, WorkerEntry entry, void* argument) {
  return pthread_create(thread, nullptr, entry, argument);
}
}  // namespace

ThreadStarter startThread = startPosixThread;

void* densityRateWorker(void* range) {
  const auto* r = static_cast<const WorkRange*>(range);
  computeDensityRates(r->begin, r->end);
  return nullptr;
}

void* stateWorker(void* range) {
  const auto* r = static_cast<const WorkRange*>(range);
  updateParticleState(r->begin, r->end);
  return nullptr;
}

void* forcesWorker(void* range) {
  const auto* r = static_cast<const WorkRange*>(range);
  computeForces(r->begin, r->end);
  return nullptr;
}

WorkRange workRangeFor(int32_t particleCount, int32_t threadCount, int32_t k) {
  const int32_t chunk = particleCount / threadCount;
  const int32_t begin = k * chunk;
  return {begin, k == threadCount - 1 ? particleCount : begin + chunk};
}

void runParallel(FluidSystem& system, WorkerEntry entry) {
  // A count below 1 would divide by zero; one worker is the sound reading.
  const int32_t threads = system.threadCount < 1 ? 1 : system.threadCount;
  auto* handles = static_cast<pthread_t*>(allocateOrExit(sizeof(pthread_t) * std::size_t(threads), "thread handles"));
  auto* ranges = static_cast<WorkRange*>(allocateOrExit(sizeof(WorkRange) * std::size_t(threads), "work ranges"));
  auto* started = static_cast<bool*>(allocateOrExit(sizeof(bool) * std::size_t(threads), "thread states"));
  for (int32_t k = 0; k < threads; ++k) {
    ranges[k] = workRangeFor(system.particleCount, threads, k);
    started[k] = startThread(&handles[k], entry, &ranges[k]) == 0;
  }
  // Ranges whose thread could not start run here, while the others run:
  // the pass needs every range done when this call returns.
  for (int32_t k = 0; k < threads; ++k)
    if (!started[k]) entry(&ranges[k]);
  for (int32_t k = 0; k < threads; ++k)
    if (started[k]) pthread_join(handles[k], nullptr);
  std::free(started);
  std::free(ranges);
  std::free(handles);
}

}  // namespace sph
