#include "runner_support.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace sph::runner_test {

namespace {
constexpr const char* CAPTURED_OUT = ".captured-stdout";
constexpr const char* CAPTURED_ERR = ".captured-stderr";
}  // namespace

std::string benchExecutable() { return SPH_BENCH_EXECUTABLE; }
std::string digestsFile() { return std::string(SPH_RUNNER_DATA_DIR) + "/digests.txt"; }

ProgramResult runBench(const std::vector<std::string>& arguments, const std::string& scratchDir,
                       RunLimits limits) {
  const std::string executable = benchExecutable();
  const std::string outPath = scratchDir + "/" + CAPTURED_OUT;
  const std::string errPath = scratchDir + "/" + CAPTURED_ERR;
  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls are allowed.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(executable.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  const pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (limits.maxFileBytes != 0) {
      signal(SIGXFSZ, SIG_IGN);  // stays ignored across exec
      struct rlimit limit;
      limit.rlim_cur = limit.rlim_max = rlim_t(limits.maxFileBytes);
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  if (limits.killAfterSeconds > 0.0) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(limits.killAfterSeconds);
    while (waitpid(child, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() >= deadline) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  } else {
    while (waitpid(child, &status, 0) < 0) {
    }
  }
  ProgramResult result;
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  result.out = readFile(outPath);
  result.err = readFile(errPath);
  std::remove(outPath.c_str());
  std::remove(errPath.c_str());
  return result;
}

ScratchDir::ScratchDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/sph-runner-test.XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
  path = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::vector<std::string> ScratchDir::entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    const std::string name = entry.path().filename().string();
    if (name != CAPTURED_OUT && name != CAPTURED_ERR) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

bool fileExists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string readFile(const std::string& path) {
  std::ifstream stream(path, std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream stream(path, std::ios::binary | std::ios::trunc);
  stream << text;
}

std::string sha256Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed");
  static const char hex[] = "0123456789abcdef";
  std::string result;
  for (unsigned int k = 0; k < length; ++k) {
    result += hex[digest[k] >> 4];
    result += hex[digest[k] & 15];
  }
  return result;
}

bool isPlainNumber(const std::string& text, int decimals) {
  const std::string::size_type point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string fraction = point == std::string::npos ? "" : text.substr(point + 1);
  auto digitsOnly = [](const std::string& part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
  };
  if (!digitsOnly(whole)) return false;
  if (decimals == 0) return point == std::string::npos;
  return point != std::string::npos && fraction.size() == std::size_t(decimals) && digitsOnly(fraction);
}

bool parseSummaryLine(const std::string& text, SummaryLine& summary) {
  if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1) return false;
  std::istringstream words(text.substr(0, text.size() - 1));
  const char* labels[5] = {"frames:", "threads:", "particles:", "seconds:", "frames/s:"};
  const int decimals[5] = {0, 0, 0, 3, 2};
  std::string values[5];
  for (int k = 0; k < 5; ++k) {
    std::string label;
    if (!(words >> label >> values[k]) || label != labels[k] || !isPlainNumber(values[k], decimals[k])) return false;
  }
  std::string extra;
  if (words >> extra) return false;
  // Single spaces only: the line is meant to be read by scripts too.
  if (text.find("  ") != std::string::npos || text[0] == ' ') return false;
  summary.frames = std::stoll(values[0]);
  summary.threads = std::stoll(values[1]);
  summary.particles = std::stoll(values[2]);
  summary.seconds = std::stod(values[3]);
  summary.framesPerSecond = std::stod(values[4]);
  return true;
}

std::vector<DigestLine> readDigestLines(const std::string& path) {
  std::vector<DigestLine> lines;
  std::ifstream stream(path);
  std::string text;
  while (std::getline(stream, text)) {
    if (text.empty() || text[0] == '#') continue;
    std::istringstream fields(text);
    DigestLine line;
    if (!(fields >> line.frames >> line.threads >> line.holdUp >> line.sha256) || line.sha256.size() != 64)
      line.sha256.clear();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace sph::runner_test
