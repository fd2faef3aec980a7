// Command line of sph-bench. Parsing is a pure function of the argument list
// (no printing, no exit), so every accepted and refused form can be checked
// in a unit test without starting a process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "solver/seeding.h"

namespace sph {

// Upper bound on --threads: far above any useful count on a desktop, low
// enough that a typo cannot ask for millions of threads per pass.
inline constexpr int32_t MAX_BENCH_THREADS = 1024;
// Layers beyond this cannot fit in the box on any axis (about 160 do); the
// cap keeps the fit check from walking a huge lattice counter.
inline constexpr int32_t MAX_BLOCK_LAYERS = 1000;

struct BenchOptions {
  int32_t frames = 1000;
  int32_t threads = 1;
  int32_t holdUpFrames = 0;  // Up held during the first holdUpFrames frames
  BlockLayers layers = PROGRAM_BLOCK;
  std::string dumpPath;  // empty: no dump
};

enum class ParseOutcome { Run, Help, Error };

struct ParsedCommandLine {
  ParseOutcome outcome = ParseOutcome::Run;
  BenchOptions options;
  std::string error;  // set when outcome is Error
};

// Parses the arguments after the program name. Accepts `--name value` and
// `--name=value`. --help ends parsing at once; the first problem found ends
// it with an error message naming the option and the offending text.
ParsedCommandLine parseBenchOptions(const std::vector<std::string>& arguments);

// The usage text, ending in a line feed.
std::string benchUsage(const std::string& programName);

}  // namespace sph
