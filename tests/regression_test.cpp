// Trajectories pinned bit for bit for several thread counts and block sizes,
// with the Up key held for a while so that gravity turns. They guard every
// reworking of the solver's inner loops: the sums must come out identical.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "solver/state_csv.h"
#include "support/test_support.h"

namespace sph {
namespace {

struct PinnedRun {
  int frames, threads, holdUp;
  BlockLayers layers;
  std::string sha256;
};

std::vector<PinnedRun> pinnedRuns() {
  std::ifstream file(std::string(SPH_TEST_DATA_DIR) + "/regression_digests.txt");
  std::vector<PinnedRun> runs;
  std::string line;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#') continue;
    PinnedRun run;
    char layers[64], digest[65];
    if (std::sscanf(line.c_str(), "%d %d %d %63s %64s", &run.frames, &run.threads, &run.holdUp, layers, digest) != 5 ||
        std::sscanf(layers, "%d,%d,%d", &run.layers.x, &run.layers.y, &run.layers.z) != 3)
      continue;
    run.sha256 = digest;
    runs.push_back(run);
  }
  return runs;
}

TEST(Regression, PinnedTrajectories) {
  const auto runs = pinnedRuns();
  ASSERT_GE(runs.size(), 6u);
  for (const PinnedRun& run : runs) {
    SCOPED_TRACE(testing::Message() << run.frames << " frames, " << run.threads << " threads, Up held "
                                    << run.holdUp << ", block " << run.layers.x << "x" << run.layers.y << "x"
                                    << run.layers.z);
    test::SeededProgram program(run.threads, run.layers);
    test::runFrames(run.frames, run.holdUp);
    EXPECT_EQ(test::sha256Hex(formatStateCsv(program.system())), run.sha256);
  }
}

}  // namespace
}  // namespace sph
