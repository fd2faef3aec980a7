// The command line of the headless tools, in one place for both: the run
// options they share (which frames, how many worker threads, which block,
// which arrow keys are held when), --help, --version and the exit statuses,
// parsed with CLI11. Each tool adds its own outputs to the same app.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <vector>

#include "solver/seeding.h"

namespace sph {

// Exit statuses of the headless tools.
inline constexpr int EXIT_RUN_FAILED = 1;  // an output could not be written
inline constexpr int EXIT_BAD_USAGE = 2;   // a bad command line; nothing was run

// An arrow key held from frame `first` to frame `last`, both included,
// frames counted from 0.
struct KeyHold {
  uint8_t* arrow;  // arrowUp, arrowDown, arrowLeft or arrowRight
  int32_t first, last;
};

struct RunOptions {
  int32_t frames = 1000;
  int32_t threads = 1;
  BlockLayers layers = PROGRAM_BLOCK;
  std::vector<KeyHold> holds;
};

// "up:0-44" and the like; false if `text` is anything else.
bool parseKeyHold(const std::string& text, KeyHold& hold);

// Sets the four arrow flags as the holds have them in frame `frame`: down
// before the frame whose camera turn it drives, as when a user holds a key.
void holdArrows(const std::vector<KeyHold>& holds, int32_t frame);

// Adds --frames, --threads, --layers, --hold-up, --hold and --version to
// `app`; parsing fills `options`.
void addRunOptions(CLI::App& app, RunOptions& options);

// Adds an option taking a whole number from 1 up (default: its value now).
CLI::Option* addCountOption(CLI::App& app, const std::string& name, int32_t& count, const std::string& description);
// Adds an option taking a decimal number from `low` to `high` (default: its
// value now).
CLI::Option* addRateOption(CLI::App& app, const std::string& name, double& rate, double low, double high,
                           const std::string& description);

// Adds an option taking a path; neither an empty one nor a following
// option is taken for the path (`--dump --frames 3` has lost its path).
CLI::Option* addPathOption(CLI::App& app, const std::string& name, std::string& path, const std::string& description);

// Parses the command line. Returns -1 when the tool should run; otherwise
// the exit status, with --help or --version printed on standard output (0)
// or the error and the usage on standard error (EXIT_BAD_USAGE).
int parseCommandLine(CLI::App& app, int argc, char** argv);

}  // namespace sph
