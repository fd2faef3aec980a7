// Helpers for the sph-bench tests: running the real executable with its
// output captured, scratch directories, file contents and digests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sph::runner_test {

// Paths from the build: the runner under test and the reference data.
std::string benchExecutable();
std::string digestsFile();

struct ProgramResult {
  int exitStatus = -1;  // -1 when the program did not exit normally
  int signal = 0;       // the signal that ended it, if any
  std::string out;
  std::string err;
};

struct RunLimits {
  // Largest file the program may write (RLIMIT_FSIZE), 0 for no limit. With
  // SIGXFSZ ignored, writes past it fail with EFBIG like a full disk.
  uint64_t maxFileBytes = 0;
  // Ends the program with SIGKILL if it still runs after this long; 0 waits
  // for it however long it takes.
  double killAfterSeconds = 0.0;
};

// Runs sph-bench with `arguments`; stdin is /dev/null, stdout and stderr are
// captured through files in `scratchDir` (never pipes, so a chatty child
// cannot block).
ProgramResult runBench(const std::vector<std::string>& arguments, const std::string& scratchDir,
                       RunLimits limits = RunLimits());

// A fresh directory under $TMPDIR (or /tmp), removed with all its contents
// when the object goes away. Tests may run in parallel, so each gets its own.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
  // Names of the entries in the directory, sorted, excluding the captured
  // stdout/stderr files of runBench.
  std::vector<std::string> entries() const;
};

bool fileExists(const std::string& path);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);
std::string sha256Hex(const std::string& text);

// The line sph-bench prints at the end:
//   frames: N threads: T particles: P seconds: S frames/s: F
// with S to three decimals and F to two. Strict: the text must be exactly
// that one line ending in a line feed.
struct SummaryLine {
  long long frames = -1, threads = -1, particles = -1;
  double seconds = -1.0, framesPerSecond = -1.0;
};
bool parseSummaryLine(const std::string& text, SummaryLine& summary);

// True when `text` is digits, or digits '.' and exactly `decimals` digits.
bool isPlainNumber(const std::string& text, int decimals);

struct DigestLine {
  int32_t frames = 0;
  int32_t threads = 0;
  int32_t holdUp = 0;
  std::string sha256;
};
// The reference lines; '#' lines and blank lines are skipped. A malformed
// line is returned with an empty digest so a test fails on it.
std::vector<DigestLine> readDigestLines(const std::string& path);

}  // namespace sph::runner_test
