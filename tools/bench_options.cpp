#include "bench_options.h"

#include <charconv>
#include <limits>
#include <system_error>

namespace sph {

namespace {

// Whole decimal number with an optional minus sign and nothing else: no
// spaces, no '+', no trailing text. Out-of-range text still parses as far as
// telling "too large" from "not a number", so the message can say which.
enum class NumberStatus { Ok, Malformed, TooLarge };

NumberStatus parseWholeNumber(const std::string& text, long long& value) {
  const char* first = text.data();
  const char* last = first + text.size();
  const std::from_chars_result result = std::from_chars(first, last, value);
  if (result.ptr == first || result.ptr != last) return NumberStatus::Malformed;
  if (result.ec == std::errc::result_out_of_range) return NumberStatus::TooLarge;
  if (result.ec != std::errc()) return NumberStatus::Malformed;
  return NumberStatus::Ok;
}

std::string rangeText(long long low, long long high) {
  return "between " + std::to_string(low) + " and " + std::to_string(high);
}

// Parses one bounded integer; on failure returns the message, else "".
std::string parseBounded(const std::string& option, const std::string& text, long long low, long long high,
                         int32_t& out) {
  long long value = 0;
  switch (parseWholeNumber(text, value)) {
    case NumberStatus::Malformed:
      return option + ": '" + text + "' is not a whole number";
    case NumberStatus::TooLarge:
      return option + ": '" + text + "' is out of range (must be " + rangeText(low, high) + ")";
    case NumberStatus::Ok:
      break;
  }
  if (value < low || value > high)
    return option + ": " + std::to_string(value) + " is out of range (must be " + rangeText(low, high) + ")";
  out = int32_t(value);
  return "";
}

std::string parseLayers(const std::string& text, BlockLayers& layers) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    const std::string::size_type comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (parts.size() != 3) return "--layers: '" + text + "' must be three whole numbers X,Y,Z";
  int32_t counts[3] = {0, 0, 0};
  const char* axisNames[3] = {"x", "y", "z"};
  for (int axis = 0; axis < 3; ++axis) {
    const std::string error =
        parseBounded(std::string("--layers (") + axisNames[axis] + ")", parts[axis], 1, MAX_BLOCK_LAYERS,
                     counts[axis]);
    if (!error.empty()) return error;
  }
  const BlockLayers candidate = {counts[0], counts[1], counts[2]};
  if (!blockFitsInBox(candidate))
    return "--layers: a block of " + text + " layers would place particles outside the box";
  layers = candidate;
  return "";
}

constexpr long long INT32_TOP = std::numeric_limits<int32_t>::max();

}  // namespace

ParsedCommandLine parseBenchOptions(const std::vector<std::string>& arguments) {
  ParsedCommandLine parsed;
  auto fail = [&parsed](const std::string& message) {
    parsed.outcome = ParseOutcome::Error;
    parsed.error = message;
    return parsed;
  };
  bool seen[5] = {false, false, false, false, false};
  const char* names[5] = {"--frames", "--threads", "--hold-up", "--layers", "--dump"};

  for (std::size_t index = 0; index < arguments.size(); ++index) {
    const std::string& argument = arguments[index];
    if (argument == "--help" || argument == "-h") {
      parsed.outcome = ParseOutcome::Help;
      return parsed;
    }
    std::string name = argument;
    std::string value;
    bool hasInlineValue = false;
    const std::string::size_type equals = argument.find('=');
    if (argument.rfind("--", 0) == 0 && equals != std::string::npos) {
      name = argument.substr(0, equals);
      value = argument.substr(equals + 1);
      hasInlineValue = true;
    }
    int which = -1;
    for (int k = 0; k < 5; ++k)
      if (name == names[k]) which = k;
    if (which < 0) return fail("unknown option '" + argument + "'");
    if (seen[which]) return fail(name + " given more than once");
    seen[which] = true;

    if (!hasInlineValue) {
      // A following option is not taken as a value: `--dump --frames 3`
      // almost certainly lost the path.
      if (index + 1 >= arguments.size() || arguments[index + 1].rfind("--", 0) == 0)
        return fail(name + " needs a value");
      value = arguments[++index];
    }
    if (value.empty()) return fail(name + " needs a value");

    std::string error;
    switch (which) {
      case 0:
        error = parseBounded(name, value, 0, INT32_TOP, parsed.options.frames);
        break;
      case 1:
        error = parseBounded(name, value, 1, MAX_BENCH_THREADS, parsed.options.threads);
        break;
      case 2:
        error = parseBounded(name, value, 0, INT32_TOP, parsed.options.holdUpFrames);
        break;
      case 3:
        error = parseLayers(value, parsed.options.layers);
        break;
      default:
        parsed.options.dumpPath = value;
        break;
    }
    if (!error.empty()) return fail(error);
  }
  return parsed;
}

std::string benchUsage(const std::string& programName) {
  return "Usage: " + programName +
         " [options]\n"
         "Runs the liquid simulation without a window and reports its speed.\n"
         "Each frame is one solver step, the gravity update and the camera turn,\n"
         "exactly as in the window program.\n"
         "\n"
         "Options:\n"
         "  --frames N       frames to run (default 1000, N >= 0)\n"
         "  --threads T      worker threads per pass (default 1, 1 to " +
         std::to_string(MAX_BENCH_THREADS) +
         ")\n"
         "  --hold-up K      hold the Up arrow during the first K frames (default 0)\n"
         "  --layers X,Y,Z   block of X*Y*Z particles (default 20,20,40: the program's\n"
         "                   16000); the block must fit in the box, which takes\n"
         "                   at most 160 layers along each axis\n"
         "  --dump PATH      after the run, write the state as CSV to PATH\n"
         "  --help           show this text and exit\n"
         "\n"
         "Prints one line at the end:\n"
         "  frames: N threads: T particles: P seconds: S frames/s: F\n"
         "where S is the time of the frame loop alone.\n"
         "Exit status: 0 success, 1 the dump could not be written, 2 bad options.\n";
}

}  // namespace sph
