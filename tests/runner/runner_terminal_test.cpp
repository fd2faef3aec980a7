// The progress line: shown on a terminal once a run has lasted two seconds,
// never when stderr is a file.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "runner_support.h"

namespace sph::runner_test {
namespace {

// Starts sph-bench on a pseudo-terminal, reads what it shows until
// `enough` says so or `limitSeconds` pass, then ends it.
std::string terminalOutput(const std::vector<std::string>& arguments, double limitSeconds,
                           bool (*enough)(const std::string&)) {
  const std::string executable = benchExecutable();
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  int terminal = -1;
  const pid_t child = forkpty(&terminal, nullptr, nullptr, nullptr);
  if (child < 0) {
    ADD_FAILURE() << "forkpty failed";
    return "";
  }
  if (child == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  std::string shown;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(limitSeconds);
  while (!enough(shown) && std::chrono::steady_clock::now() < deadline) {
    pollfd ready = {terminal, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t count = read(terminal, buffer, sizeof buffer);
    if (count <= 0) break;  // the program ended
    shown.append(buffer, std::size_t(count));
  }
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  close(terminal);
  return shown;
}

// A run must last clearly longer than the two-second delay to show that a
// file gets no progress line.
constexpr double PROGRESS_CHECK_SECONDS = 2.5;

const std::regex PROGRESS("\rframe ([0-9]+)/2000000000  ([0-9]+\\.[0-9]) frames/s");

bool twoRefreshes(const std::string& shown) {
  const auto begin = std::sregex_iterator(shown.begin(), shown.end(), PROGRESS);
  return std::distance(begin, std::sregex_iterator()) >= 2;
}

TEST(RunnerTerminal, ShowsProgressInPlaceOnATerminal) {
  // A tiny block makes frames fast; the run would go on for ages, so the
  // test ends it once the line has been refreshed.
  const std::string shown =
      terminalOutput({"--frames", "2000000000", "--layers", "2,2,2"}, 30.0, twoRefreshes);
  ASSERT_TRUE(twoRefreshes(shown)) << "no progress refreshes seen on the terminal: '" << shown << "'";
  EXPECT_EQ(shown.find('\n'), std::string::npos) << "the progress line must be rewritten in place";

  // Frames done only grow from one refresh to the next.
  std::smatch first;
  ASSERT_TRUE(std::regex_search(shown, first, PROGRESS));
  const std::string rest = first.suffix();
  std::smatch second;
  ASSERT_TRUE(std::regex_search(rest, second, PROGRESS));
  EXPECT_GT(std::stoll(second[1]), std::stoll(first[1]));
}

TEST(RunnerTerminal, StaysSilentWhenStderrIsAFile) {
  // Learn the frame rate on this machine and build from a short run, then
  // run for about four seconds with stderr going to a file.
  ScratchDir dir;
  const ProgramResult probe = runBench({"--frames", "200", "--layers", "2,2,2"}, dir.path);
  ASSERT_EQ(probe.exitStatus, 0) << probe.err;
  const std::smatch rate = [&] {
    std::smatch match;
    std::regex_search(probe.out, match, std::regex("frames/s: ([0-9.]+)"));
    return match;
  }();
  ASSERT_FALSE(rate.empty()) << probe.out;
  const long long frames = std::max(1LL, (long long)(std::stod(rate[1]) * 4.0));

  const ProgramResult result = runBench({"--frames", std::to_string(frames), "--layers", "2,2,2"}, dir.path);
  ASSERT_EQ(result.exitStatus, 0) << result.err;
  EXPECT_EQ(result.err, "");
  std::smatch seconds;
  ASSERT_TRUE(std::regex_search(result.out, seconds, std::regex("seconds: ([0-9.]+)"))) << result.out;
  if (std::stod(seconds[1]) < PROGRESS_CHECK_SECONDS)
    GTEST_SKIP() << "the run took only " << seconds[1] << " s, too short to have shown progress";
}

}  // namespace
}  // namespace sph::runner_test
