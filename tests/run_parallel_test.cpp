// Parallel passes: the static range split, every range processed even when
// threads cannot start, a count below 1, and the determinism that the
// ownership rule promises: a step on T threads is bit-identical to the same
// ranges run one after another on one thread.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "app/frame.h"
#include "parallel/run_parallel.h"
#include "solver/cell_grid.h"
#include "solver/passes.h"
#include "solver/state_csv.h"
#include "support/test_support.h"

namespace sph {
namespace {

std::vector<std::pair<int32_t, int32_t>> splitOf(int32_t particles, int32_t threads) {
  std::vector<std::pair<int32_t, int32_t>> ranges;
  for (int32_t k = 0; k < threads; ++k) {
    const WorkRange r = workRangeFor(particles, threads, k);
    ranges.emplace_back(r.begin, r.end);
  }
  return ranges;
}

using Ranges = std::vector<std::pair<int32_t, int32_t>>;

TEST(WorkRanges, StaticSplitWithRemainderOnTheLastWorker) {
  EXPECT_EQ(splitOf(16000, 1), (Ranges{{0, 16000}}));
  EXPECT_EQ(splitOf(10, 4), (Ranges{{0, 2}, {2, 4}, {4, 6}, {6, 10}}));
  EXPECT_EQ(splitOf(5, 3), (Ranges{{0, 1}, {1, 2}, {2, 5}}));
  EXPECT_EQ(splitOf(2, 4), (Ranges{{0, 0}, {0, 0}, {0, 0}, {0, 2}}));
  EXPECT_EQ(splitOf(0, 3), (Ranges{{0, 0}, {0, 0}, {0, 0}}));
}

// A pass that records which ranges it was given and on how many calls.
std::mutex recordedMutex;
Ranges recorded;
void* recordingWorker(void* range) {
  const auto* r = static_cast<const WorkRange*>(range);
  std::lock_guard<std::mutex> lock(recordedMutex);
  recorded.emplace_back(r->begin, r->end);
  return nullptr;
}

Ranges rangesRunBy(FluidSystem& system) {
  recorded.clear();
  runParallel(system, recordingWorker);
  Ranges sorted = recorded;
  std::sort(sorted.begin(), sorted.end());
  return sorted;
}

TEST(RunParallel, EveryRangeRunsOnceEvenWhenEmpty) {
  test::FreshProgram program;
  for (int k = 0; k < 2; ++k) addParticle(0.5f, 0.5f, 0.5f);
  program.system().threadCount = 4;
  EXPECT_EQ(rangesRunBy(program.system()), (Ranges{{0, 0}, {0, 0}, {0, 0}, {0, 2}}));
  program.system().particleCount = 0;
  EXPECT_EQ(rangesRunBy(program.system()), (Ranges{{0, 0}, {0, 0}, {0, 0}, {0, 0}}));
}

// A thread count below 1 must never reach the division: one worker.
TEST(RunParallel, CountBelowOneRunsOneWorker) {
  test::FreshProgram program;
  for (int k = 0; k < 7; ++k) addParticle(0.5f, 0.5f, 0.5f);
  for (int32_t threads : {0, -3}) {
    program.system().threadCount = threads;
    EXPECT_EQ(rangesRunBy(program.system()), (Ranges{{0, 7}}));
  }
}

// Thread starts that fail on every second call (and on all calls).
int failingEveryOther(pthread_t* thread, WorkerEntry entry, void* argument) {
  static int calls = 0;
  if (calls++ % 2 == 0) return EAGAIN;
  return pthread_create(thread, nullptr, entry, argument);
}
int failingAlways(pthread_t*, WorkerEntry, void*) { return EAGAIN; }

struct StarterGuard {
  explicit StarterGuard(ThreadStarter replacement) : saved(startThread) { startThread = replacement; }
  ~StarterGuard() { startThread = saved; }
  ThreadStarter saved;
};

TEST(RunParallel, RangesOfThreadsThatCannotStartRunOnTheCaller) {
  test::FreshProgram program;
  for (int k = 0; k < 10; ++k) addParticle(0.5f, 0.5f, 0.5f);
  program.system().threadCount = 4;
  const Ranges expected{{0, 2}, {2, 4}, {4, 6}, {6, 10}};
  {
    StarterGuard guard(failingEveryOther);
    EXPECT_EQ(rangesRunBy(program.system()), expected);
  }
  {
    StarterGuard guard(failingAlways);
    EXPECT_EQ(rangesRunBy(program.system()), expected);
  }
}

TEST(RunParallel, FailedStartsGiveTheSameStep) {
  std::string expected, actual;
  {
    test::SeededProgram program(3);
    test::runFrames(3);
    expected = formatStateCsv(program.system());
  }
  {
    StarterGuard guard(failingEveryOther);
    test::SeededProgram program(3);
    test::runFrames(3);
    actual = formatStateCsv(program.system());
  }
  EXPECT_EQ(test::sha256Hex(actual), test::sha256Hex(expected));
}

// One step with the ranges of T workers, run one after another here.
void sequentialRangesStep(FluidSystem& system, int32_t threads) {
  rebuildGrid(system);
  for (auto pass : {computeDensityRates, updateParticleState, computeForces})
    for (int32_t k = 0; k < threads; ++k) {
      const WorkRange r = workRangeFor(system.particleCount, threads, k);
      pass(r.begin, r.end);
    }
  integrate(system);
}

TEST(Determinism, ThreadsMatchTheirRangesRunInSequence) {
  for (int32_t threads : {1, 2, 3, 4, 7}) {
    SCOPED_TRACE(threads);
    std::string sequential, parallel;
    {
      test::SeededProgram program(threads);
      for (int step = 0; step < 4; ++step) sequentialRangesStep(program.system(), threads);
      sequential = formatStateCsv(program.system());
    }
    {
      test::SeededProgram program(threads);
      for (int step = 0; step < 4; ++step) stepSimulation();
      parallel = formatStateCsv(program.system());
    }
    EXPECT_EQ(test::sha256Hex(parallel), test::sha256Hex(sequential));
  }
}

TEST(Determinism, RepeatedRunsGiveTheSameBits) {
  std::string first;
  for (int run = 0; run < 3; ++run) {
    test::SeededProgram program(2);
    test::runFrames(5, 3);
    const std::string digest = test::sha256Hex(formatStateCsv(program.system()));
    if (run == 0) first = digest;
    EXPECT_EQ(digest, first) << "run " << run;
  }
}

TEST(Determinism, ThreadCountChangesOnlyTheSummationOrder) {
  // Different splits round differently, yet stay close after a few steps.
  test::SeededProgram one(1);
  test::runFrames(3);
  const auto reference = test::snapshotParticles();
  test::SeededProgram two(2);
  test::runFrames(3);
  const auto split = test::snapshotParticles();
  int differing = 0;
  for (std::size_t k = 0; k < reference.size(); ++k) {
    for (int axis = 0; axis < 3; ++axis) {
      EXPECT_NEAR(reference[k].position[axis], split[k].position[axis], 1e-3f);
      differing += reference[k].position[axis] != split[k].position[axis];
    }
  }
  EXPECT_GT(differing, 0) << "the split should change some roundings";
}

TEST(Golden, ThreadedRunsWithUpHeld) {
  for (const auto& d : test::referenceDigests()) {
    if (d.threads == 1) continue;
    SCOPED_TRACE(testing::Message() << d.frames << " frames, " << d.threads << " threads, Up held " << d.holdUp);
    test::SeededProgram program(d.threads);
    test::runFrames(d.frames, d.holdUp);
    EXPECT_EQ(test::sha256Hex(formatStateCsv(program.system())), d.sha256);
  }
}

}  // namespace
}  // namespace sph
