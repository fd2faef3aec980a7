// The state after N frames, pinned bit for bit: every line of
// tests/data/trajectories.txt on each build of the SIMD loops. A fault in a
// formula, a rounding point, an order of summation, the split into ranges,
// the seeding, the gravity update or the key handling changes a digest.
// Suites whose names start with Threaded run short runs on worker threads,
// also under ThreadSanitizer, which the long ManyThreads runs would keep
// busy for a quarter of an hour.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

#include "app/frame.h"
#include "parallel/run_parallel.h"
#include "solver/memory.h"
#include "support/test_support.h"

namespace sph {
namespace {

std::vector<test::Trajectory> withThreads(bool many) {
  std::vector<test::Trajectory> lines;
  for (const test::Trajectory& t : test::trajectories())
    if ((t.threads > 1) == many) lines.push_back(t);
  return lines;
}

class Trajectory : public testing::TestWithParam<test::Trajectory> {};

TEST_P(Trajectory, MatchesItsDigest) {
  const test::Trajectory& t = GetParam();
  auto run = [&] {
    test::FreshProgram program(t.threads, t.layers);
    test::runFrames(0, t.frames, t.holds);
    EXPECT_EQ(test::stateDigest(), t.sha256);
  };
#if defined(SPH_SANITIZED)
  // Sanitizers watch memory, not bits: the plain build holds every form to
  // the digests, and the neighbour tests run every form here.
  run();
#else
  test::forEachSimdBuild(run);
#endif
}

INSTANTIATE_TEST_SUITE_P(OneThread, Trajectory, testing::ValuesIn(withThreads(false)));
INSTANTIATE_TEST_SUITE_P(ManyThreads, Trajectory, testing::ValuesIn(withThreads(true)));

TEST(OneThreadTrajectories, EveryLineIsRead) { EXPECT_EQ(test::trajectories().size(), 20u); }

TEST(ThreadedDeterminism, RepeatedRunsGiveTheSameBits) {
  std::string first;
  for (int run = 0; run < 3; ++run) {
    test::FreshProgram program(3, PROGRAM_BLOCK);
    test::runFrames(0, 5, "up:0-2");
    if (run == 0) first = test::stateDigest();
    EXPECT_EQ(test::stateDigest(), first) << "run " << run;
  }
}

using Ranges = std::vector<std::pair<int32_t, int32_t>>;

// The ranges a pass was handed, sorted.
std::mutex recordedMutex;
Ranges recorded;
void* recordingWorker(void* range) {
  const auto* r = static_cast<const WorkRange*>(range);
  std::lock_guard<std::mutex> lock(recordedMutex);
  recorded.emplace_back(r->begin, r->end);
  return nullptr;
}
Ranges rangesRunBy(int32_t particles, int32_t threads) {
  test::FreshProgram program;
  program.system().particleCount = particles;  // the recording pass reads no particle
  program.system().threadCount = threads;
  recorded.clear();
  runParallel(program.system(), recordingWorker);
  std::sort(recorded.begin(), recorded.end());
  program.system().particleCount = 0;
  return recorded;
}

// Thread starts that fail on every second call, or on all.
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

// Equal contiguous ranges, the remainder on the last; every range runs, even
// an empty one, even when its thread cannot start; a count below 1 runs one.
TEST(ThreadedPasses, EveryRangeRunsOnce) {
  EXPECT_EQ(rangesRunBy(10, 4), (Ranges{{0, 2}, {2, 4}, {4, 6}, {6, 10}}));
  EXPECT_EQ(rangesRunBy(5, 3), (Ranges{{0, 1}, {1, 2}, {2, 5}}));
  EXPECT_EQ(rangesRunBy(2, 4), (Ranges{{0, 0}, {0, 0}, {0, 0}, {0, 2}}));
  EXPECT_EQ(rangesRunBy(0, 2), (Ranges{{0, 0}, {0, 0}}));
  EXPECT_EQ(rangesRunBy(7, 0), (Ranges{{0, 7}}));
  EXPECT_EQ(rangesRunBy(7, -3), (Ranges{{0, 7}}));
  for (ThreadStarter starter : {failingEveryOther, failingAlways}) {
    StarterGuard guard(starter);
    EXPECT_EQ(rangesRunBy(10, 4), (Ranges{{0, 2}, {2, 4}, {4, 6}, {6, 10}}));
  }
}

// A step stopped after the grid's rebuild (the first question) or after
// pass 1 (the second) is undone: the frames that follow give the bits of a
// run never stopped. The frame's other parts never ask.
struct StopAt {
  int question, asked;
};
bool stopAtQuestion(void* context) {
  auto* stop = static_cast<StopAt*>(context);
  return ++stop->asked == stop->question;
}
TEST(Trajectories, AStoppedStepIsUndone) {
  std::string unstopped;
  {
    test::FreshProgram program(2, {8, 9, 10});
    test::runFrames(0, 4, "left:0-3");
    unstopped = test::stateDigest();
  }
  for (int question : {1, 2, 3}) {
    test::FreshProgram program(2, {8, 9, 10});
    test::runFrames(0, 2, "left:0-3");
    StopAt stop{question, 0};
    EXPECT_EQ(simulateFrameUnlessStopped(stopAtQuestion, &stop), question == 3) << "question " << question;
    EXPECT_EQ(stop.asked, question == 3 ? 2 : question);
    test::runFrames(question == 3 ? 3 : 2, 4, "left:0-3");
    EXPECT_EQ(test::stateDigest(), unstopped) << "question " << question;
  }
}

// A range that runs out of memory (the second of four) does not end the
// pass early nor its thread the program: every range still runs, and the
// calling thread gets the exception once all are joined.
void* failingSecondRange(void* range) {
  recordingWorker(range);
  if (static_cast<const WorkRange*>(range)->begin == 2) throw OutOfMemory(1, "neighbour lists");
  return nullptr;
}
TEST(ThreadedPasses, ARangesOutOfMemoryReachesTheCaller) {
  for (ThreadStarter starter : {startThread, failingEveryOther, failingAlways}) {
    StarterGuard guard(starter);
    test::FreshProgram program;
    program.system().particleCount = 10;
    program.system().threadCount = 4;
    recorded.clear();
    EXPECT_THROW(runParallel(program.system(), failingSecondRange), OutOfMemory);
    std::sort(recorded.begin(), recorded.end());
    EXPECT_EQ(recorded, (Ranges{{0, 2}, {2, 4}, {4, 6}, {6, 10}}));
    program.system().particleCount = 0;
  }
}

TEST(ThreadedPasses, FailedStartsGiveTheSameStep) {
  std::string digests[2];
  for (ThreadStarter starter : {startThread, failingEveryOther}) {
    StarterGuard guard(starter);
    test::FreshProgram program(3, PROGRAM_BLOCK);
    test::runFrames(0, 3);
    digests[starter == failingEveryOther] = test::stateDigest();
  }
  EXPECT_EQ(digests[0], digests[1]);
}

}  // namespace
}  // namespace sph
