#include "digest_cases.h"

namespace sph::runner_test {

namespace {
std::vector<DigestLine> linesWhere(bool multiThread) {
  std::vector<DigestLine> selected;
  for (const DigestLine& line : readDigestLines(digestsFile()))
    if ((line.threads > 1) == multiThread) selected.push_back(line);
  return selected;
}
}  // namespace

std::vector<DigestLine> singleThreadDigests() { return linesWhere(false); }
std::vector<DigestLine> multiThreadDigests() { return linesWhere(true); }

void expectDumpMatchesDigest(const DigestLine& line) {
  ASSERT_EQ(line.sha256.size(), 64u) << "malformed line in " << digestsFile();
  ScratchDir dir;
  const std::string dump = dir.file("state.csv");
  const ProgramResult result = runBench({"--frames", std::to_string(line.frames), "--threads",
                                         std::to_string(line.threads), "--hold-up", std::to_string(line.holdUp),
                                         "--dump", dump},
                                        dir.path);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(sha256Hex(readFile(dump)), line.sha256);
}

void PrintTo(const DigestLine& line, std::ostream* stream) {
  *stream << line.frames << " frames, " << line.threads << " thread(s), Up held " << line.holdUp;
}

std::string digestCaseName(const testing::TestParamInfo<DigestLine>& info) {
  const DigestLine& line = info.param;
  return "frames_" + std::to_string(line.frames) + "_threads_" + std::to_string(line.threads) + "_holdup_" +
         std::to_string(line.holdUp);
}

}  // namespace sph::runner_test
