#include "run_parallel.h"

#include <exception>
#include <memory>
#include <mutex>

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

namespace {
// A pass's first failure. A worker's exception (the solver's OutOfMemory)
// cannot leave its thread, so it is kept here and thrown again on the
// calling thread once every range is joined.
struct PassFailure {
  std::mutex lock;
  std::exception_ptr error;
};

// One range of a pass (plain, so that an array of them costs nothing to
// set up).
struct Task {
  WorkerEntry entry;
  WorkRange range;
  PassFailure* failure;
};

void* runTask(void* argument) {
  auto* task = static_cast<Task*>(argument);
  try {
    task->entry(&task->range);
  } catch (...) {
    std::lock_guard<std::mutex> hold(task->failure->lock);
    if (!task->failure->error) task->failure->error = std::current_exception();
  }
  return nullptr;
}

// How many ranges a pass keeps on the stack: every count the programs take
// natively; the page's threads have stacks of 64 KB, and its build catches
// no exceptions anyway.
#if defined(__EMSCRIPTEN__)
constexpr int32_t ON_STACK = 16;
#else
constexpr int32_t ON_STACK = MAX_THREAD_COUNT;
#endif
}  // namespace

void runParallel(FluidSystem& system, WorkerEntry entry) {
  // A count below 1 would divide by zero; one worker is the sound reading.
  // Any count the programs take fits the arrays on the stack, so a pass
  // allocates nothing and cannot fail for want of memory half-way through a
  // step; a larger count takes the heap.
  const int32_t threads = system.threadCount < 1 ? 1 : system.threadCount;
  Task stackTasks[ON_STACK];
  pthread_t stackHandles[ON_STACK];
  bool stackStarted[ON_STACK];
  std::unique_ptr<Task[]> heapTasks;
  std::unique_ptr<pthread_t[]> heapHandles;
  std::unique_ptr<bool[]> heapStarted;
  Task* tasks = stackTasks;
  pthread_t* handles = stackHandles;
  bool* started = stackStarted;
  if (threads > ON_STACK) {
    heapTasks.reset(new Task[std::size_t(threads)]);
    heapHandles.reset(new pthread_t[std::size_t(threads)]);
    heapStarted.reset(new bool[std::size_t(threads)]);
    tasks = heapTasks.get();
    handles = heapHandles.get();
    started = heapStarted.get();
  }
  PassFailure failure;
  for (int32_t k = 0; k < threads; ++k) {
    tasks[k] = {entry, workRangeFor(system.particleCount, threads, k), &failure};
    started[k] = startThread(&handles[k], runTask, &tasks[k]) == 0;
  }
  // Ranges whose thread could not start run here, while the others run:
  // the pass needs every range done when this call returns.
  for (int32_t k = 0; k < threads; ++k)
    if (!started[k]) runTask(&tasks[k]);
  for (int32_t k = 0; k < threads; ++k)
    if (started[k]) pthread_join(handles[k], nullptr);
  if (failure.error) std::rethrow_exception(failure.error);
}

}  // namespace sph
