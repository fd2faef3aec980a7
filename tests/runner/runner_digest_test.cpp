// Every single-thread reference trajectory, reproduced by the executable.
#include <gtest/gtest.h>

#include "digest_cases.h"

namespace sph::runner_test {
namespace {

TEST(RunnerDigestFile, HasReferenceLines) {
  const std::vector<DigestLine> lines = readDigestLines(digestsFile());
  ASSERT_FALSE(lines.empty()) << "no reference digests in " << digestsFile();
  for (const DigestLine& line : lines) EXPECT_EQ(line.sha256.size(), 64u);
}

class RunnerDigest : public testing::TestWithParam<DigestLine> {};

TEST_P(RunnerDigest, DumpMatchesReference) { expectDumpMatchesDigest(GetParam()); }

INSTANTIATE_TEST_SUITE_P(SingleThread, RunnerDigest, testing::ValuesIn(singleThreadDigests()), digestCaseName);

}  // namespace
}  // namespace sph::runner_test
