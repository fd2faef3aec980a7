// The reference digests as value-parameterised test cases, split by whether
// the run starts worker threads (those also run under ThreadSanitizer).
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "runner_support.h"

namespace sph::runner_test {

std::vector<DigestLine> singleThreadDigests();
std::vector<DigestLine> multiThreadDigests();

// Runs sph-bench with the line's frames, threads and hold-up, dumps, and
// expects the dump's SHA-256 to be the line's digest.
void expectDumpMatchesDigest(const DigestLine& line);

// For gtest's messages: "20 frames, 1 thread(s), Up held 0".
void PrintTo(const DigestLine& line, std::ostream* stream);

// "frames_20_threads_1_holdup_0": readable names in CTest's list.
std::string digestCaseName(const testing::TestParamInfo<DigestLine>& info);

}  // namespace sph::runner_test
