// Where a frame's time goes on 1 and on 2 worker threads, and what two
// threads lose against half of one thread's time:
//
//   sph_frame_phases [X Y Z [FRAMES]]     (layers of the seeded block; 20 20 40 300)
//
// Each run seeds the block and steps it as the programs do, but times every
// phase: rebuildGrid and integrate on the main thread, and each pass both as
// a whole (from the first thread start to the last join) and per worker (from
// the moment its thread runs the pass to its end). The threads are started
// one per range, fresh for every pass, exactly as runParallel starts them.
// The loss of two threads splits into: the serial parts not halving, thread
// starts and joins, imbalance (the slower worker against the mean), and the
// extra work of the two ranges together against one range of everything
// (pairs across the split are computed on both sides).
#include <pthread.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "app/frame.h"
#include "parallel/run_parallel.h"
#include "solver/cell_grid.h"
#include "solver/passes.h"
#include "solver/seeding.h"

namespace sph {
namespace {

using Clock = std::chrono::steady_clock;
double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct TimedRange {
  WorkerEntry entry;
  WorkRange range;
  double busy;  // seconds the worker spent in the pass
};

void* timedWorker(void* argument) {
  auto* timed = static_cast<TimedRange*>(argument);
  const Clock::time_point start = Clock::now();
  timed->entry(&timed->range);
  timed->busy = secondsSince(start);
  return nullptr;
}

constexpr int PASSES = 3;
constexpr int MAX_WORKERS = 2;

// Seconds summed over the frames.
struct Phases {
  double rebuild = 0, integrate = 0;
  double passWall[PASSES] = {}, workerBusy[PASSES][MAX_WORKERS] = {};
};

// One pass as runParallel runs it, timed.
void timedPass(FluidSystem& system, WorkerEntry entry, double& wall, double* busy) {
  const int32_t threads = system.threadCount;
  pthread_t handles[MAX_WORKERS];
  TimedRange ranges[MAX_WORKERS];
  const Clock::time_point start = Clock::now();
  for (int32_t k = 0; k < threads; ++k) {
    ranges[k] = {entry, workRangeFor(system.particleCount, threads, k), 0.0};
    if (pthread_create(&handles[k], nullptr, timedWorker, &ranges[k]) != 0) {
      std::fprintf(stderr, "cannot start a thread\n");
      std::exit(1);
    }
  }
  for (int32_t k = 0; k < threads; ++k) pthread_join(handles[k], nullptr);
  wall += secondsSince(start);
  for (int32_t k = 0; k < threads; ++k) busy[k] += ranges[k].busy;
}

Phases run(BlockLayers layers, int32_t frames, int32_t threads) {
  FluidSystem* system = createFluidSystem();
  installFluidSystem(system);
  resetFrameState();
  seedBlock(layers);
  system->threadCount = threads;
  const WorkerEntry entries[PASSES] = {densityRateWorker, stateWorker, forcesWorker};
  Phases phases;
  for (int32_t frame = 0; frame < frames; ++frame) {
    Clock::time_point start = Clock::now();
    rebuildGrid(*system);
    phases.rebuild += secondsSince(start);
    for (int pass = 0; pass < PASSES; ++pass)
      timedPass(*system, entries[pass], phases.passWall[pass], phases.workerBusy[pass]);
    start = Clock::now();
    integrate(*system);
    phases.integrate += secondsSince(start);
    updateGravity();
    turnCamera();
  }
  destroyFluidSystem(system);
  return phases;
}

// A whole decimal number in [low, high], or exit 2 with a message.
int numberIn(const char* text, long low, long high, const char* what) {
  char* rest = nullptr;
  const long value = std::strtol(text, &rest, 10);
  if (rest == text || *rest != '\0' || value < low || value > high) {
    std::fprintf(stderr, "%s run from %ld to %ld, not '%s'\n", what, low, high, text);
    std::exit(2);
  }
  return int(value);
}
int layer(const char* text) { return numberIn(text, 1, 160, "layers"); }

}  // namespace
}  // namespace sph

int main(int argc, char** argv) {
  using namespace sph;
  if (argc != 1 && argc != 4 && argc != 5) {
    std::fprintf(stderr, "usage: %s [X Y Z [FRAMES]]\n", argv[0]);
    return 2;
  }
  const BlockLayers layers = argc >= 4 ? BlockLayers{layer(argv[1]), layer(argv[2]), layer(argv[3])} : PROGRAM_BLOCK;
  const int32_t frames = argc == 5 ? numberIn(argv[4], 1, 1000000, "frames") : 300;
  const Phases one = run(layers, frames, 1), two = run(layers, frames, 2);
  const double perFrame = 1e3 / frames;  // seconds summed -> ms per frame
  const char* names[PASSES] = {"density pass", "state pass", "force pass"};
  std::printf("%d x %d x %d layers, %d frames; ms per frame\n\n", layers.x, layers.y, layers.z, frames);
  std::printf("%-14s %10s %22s\n", "phase", "1 thread", "2 threads (w0 / w1)");
  std::printf("%-14s %10.3f %10.3f\n", "rebuildGrid", one.rebuild * perFrame, two.rebuild * perFrame);
  double serial = (two.rebuild + two.integrate) - (one.rebuild + one.integrate) / 2;
  double starts = 0, imbalance = 0, extraWork = 0;
  for (int pass = 0; pass < PASSES; ++pass) {
    const double* busy = two.workerBusy[pass];
    const double slower = busy[0] > busy[1] ? busy[0] : busy[1], mean = (busy[0] + busy[1]) / 2;
    std::printf("%-14s %10.3f %10.3f (%.3f / %.3f)\n", names[pass], one.passWall[pass] * perFrame,
                two.passWall[pass] * perFrame, busy[0] * perFrame, busy[1] * perFrame);
    starts += (two.passWall[pass] - slower) - (one.passWall[pass] - one.workerBusy[pass][0]) / 2;
    imbalance += slower - mean;
    extraWork += mean - one.workerBusy[pass][0] / 2;
  }
  std::printf("%-14s %10.3f %10.3f\n", "integrate", one.integrate * perFrame, two.integrate * perFrame);
  double total1 = one.rebuild + one.integrate, total2 = two.rebuild + two.integrate;
  for (int pass = 0; pass < PASSES; ++pass) {
    total1 += one.passWall[pass];
    total2 += two.passWall[pass];
  }
  std::printf("%-14s %10.3f %10.3f   speed-up %.2f\n\n", "frame", total1 * perFrame, total2 * perFrame, total1 / total2);
  const double loss = total2 - total1 / 2;
  std::printf("two threads against half of one, %.3f ms per frame lost:\n", loss * perFrame);
  const struct {
    const char* what;
    double seconds;
  } parts[] = {{"serial parts (rebuildGrid, integrate)", serial},
               {"thread starts and joins", starts},
               {"imbalance between the two ranges", imbalance},
               {"extra work of two ranges (pairs across the split)", extraWork}};
  for (const auto& part : parts)
    std::printf("  %-50s %7.3f ms  %5.1f %%\n", part.what, part.seconds * perFrame, 100 * part.seconds / loss);
  return 0;
}
