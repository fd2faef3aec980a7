// The progress line: shown on a terminal once a run has lasted two seconds,
// never when stderr is a file.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
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

constexpr const char* ENDLESS_FRAMES = "2000000000";

// Frames done in each "\rframe D/2000000000  R frames/s" shown, in order.
std::vector<long long> progressRefreshes(const std::string& shown) {
  std::vector<long long> done;
  const std::string lead = "\rframe ";
  for (std::string::size_type at = shown.find(lead); at != std::string::npos; at = shown.find(lead, at + 1)) {
    const std::string::size_type slash = shown.find('/', at);
    const std::string::size_type unit = shown.find(" frames/s", at);
    if (slash == std::string::npos || unit == std::string::npos) break;  // cut off mid-line
    const std::string count = shown.substr(at + lead.size(), slash - at - lead.size());
    const std::string middle = shown.substr(slash + 1, unit - slash - 1);  // "2000000000  R"
    const std::string total = std::string(ENDLESS_FRAMES) + "  ";
    if (!isPlainNumber(count, 0) || middle.rfind(total, 0) != 0 || !isPlainNumber(middle.substr(total.size()), 1))
      continue;
    done.push_back(std::stoll(count));
  }
  return done;
}

bool twoRefreshes(const std::string& shown) { return progressRefreshes(shown).size() >= 2; }

TEST(RunnerTerminal, ShowsProgressInPlaceOnATerminal) {
  // A tiny block makes frames fast; the run would go on for ages, so the
  // test ends it once the line has been refreshed.
  const std::string shown = terminalOutput({"--frames", ENDLESS_FRAMES, "--layers", "2,2,2"}, 30.0, twoRefreshes);
  const std::vector<long long> done = progressRefreshes(shown);
  ASSERT_GE(done.size(), 2u) << "no progress refreshes seen on the terminal: '" << shown << "'";
  EXPECT_EQ(shown.find('\n'), std::string::npos) << "the progress line must be rewritten in place";
  EXPECT_GT(done[1], done[0]);
}

TEST(RunnerTerminal, StaysSilentWhenStderrIsAFile) {
  // Well past the two-second mark with stderr going to a file, the run is
  // ended from outside: by then a terminal would have shown the line.
  ScratchDir dir;
  RunLimits limits;
  limits.killAfterSeconds = 3.0;
  const ProgramResult result = runBench({"--frames", ENDLESS_FRAMES, "--layers", "2,2,2"}, dir.path, limits);
  EXPECT_EQ(result.signal, SIGKILL) << "the run ended by itself, status " << result.exitStatus << ": " << result.err;
  EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace sph::runner_test
