#include "run_options.h"

#include <sph_version.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "app/frame.h"
#include "parallel/run_parallel.h"

namespace sph {

namespace {

constexpr int32_t INT32_TOP = std::numeric_limits<int32_t>::max();

// A whole number from `low` to `high` and nothing else: no sign, no blanks.
bool parseBounded(const std::string& text, long long low, long long high, int32_t& value) {
  long long parsed = 0;
  const char* const end = text.data() + text.size();
  const std::from_chars_result result = std::from_chars(text.data(), end, parsed);
  if (result.ec != std::errc() || result.ptr != end || parsed < low || parsed > high) return false;
  value = int32_t(parsed);
  return true;
}

// A number of frames or threads as people write it. CLI11 alone would read
// "010" as octal and "0x10" as hex, and take a sign or blanks.
CLI::Validator wholeNumber(long long low, long long high) {
  return CLI::Validator(
      [low, high](std::string& text) {
        int32_t value = 0;
        if (!parseBounded(text, low, high, value))
          return "'" + text + "' is not a whole number from " + std::to_string(low) + " to " + std::to_string(high);
        text = std::to_string(value);  // no leading zero left to read as octal
        return std::string();
      },
      "");
}

std::string checkLayers(const std::string& text, BlockLayers& layers) {
  int32_t counts[3];
  std::size_t start = 0;
  for (int axis = 0; axis < 3; ++axis) {
    const std::size_t comma = axis < 2 ? text.find(',', start) : text.size();
    if (comma == std::string::npos ||
        !parseBounded(text.substr(start, comma - start), 1, MAX_BLOCK_LAYERS, counts[axis]))
      return "must be three whole numbers X,Y,Z from 1 to " + std::to_string(MAX_BLOCK_LAYERS) +
             ": a block that fits in the box";
    start = comma + 1;
  }
  layers = {counts[0], counts[1], counts[2]};
  return "";
}

std::string checkKeyHold(const std::string& text) {
  KeyHold hold;
  return parseKeyHold(text, hold) ? "" : "'" + text + "' is not KEY:FIRST-LAST (KEY up, down, left or right; FIRST <= LAST)";
}

}  // namespace

bool parseKeyHold(const std::string& text, KeyHold& hold) {
  const std::size_t colon = text.find(':'), dash = text.find('-', colon + 1);
  if (colon == std::string::npos || dash == std::string::npos) return false;
  const std::string key = text.substr(0, colon);
  hold.arrow = key == "up" ? &arrowUp : key == "down" ? &arrowDown : key == "left" ? &arrowLeft
             : key == "right" ? &arrowRight : nullptr;
  return hold.arrow != nullptr && parseBounded(text.substr(colon + 1, dash - colon - 1), 0, INT32_TOP, hold.first) &&
         parseBounded(text.substr(dash + 1), hold.first, INT32_TOP, hold.last);
}

void holdArrows(const std::vector<KeyHold>& holds, int32_t frame) {
  arrowUp = arrowDown = arrowLeft = arrowRight = 0;
  for (const KeyHold& hold : holds)
    if (frame >= hold.first && frame <= hold.last) *hold.arrow = 1;
}

void addRunOptions(CLI::App& app, RunOptions& options) {
  app.add_option("--frames", options.frames, "Frames to run")->type_name("N")->transform(wholeNumber(0, INT32_TOP))
      ->capture_default_str();
  app.add_option("--threads", options.threads, "Worker threads per pass, 1 to " + std::to_string(MAX_THREAD_COUNT))
      ->type_name("T")->transform(wholeNumber(1, MAX_THREAD_COUNT))->capture_default_str();
  app.add_option_function<std::string>("--layers", [&options](const std::string& text) { checkLayers(text, options.layers); },
                                       "A block of X*Y*Z particles (at most " + std::to_string(MAX_BLOCK_LAYERS) + " layers an axis fit)")
      ->type_name("X,Y,Z")->check(CLI::Validator([](std::string& text) { BlockLayers unused; return checkLayers(text, unused); }, ""))
      ->default_str("20,20,40");
  app.add_option_function<int32_t>("--hold-up", [&options](const int32_t& k) {
        if (k > 0) options.holds.push_back({&arrowUp, 0, k - 1});
      }, "Hold the Up arrow during frames 0 to K-1")
      ->type_name("K")->transform(wholeNumber(0, INT32_TOP))->default_str("0");
  app.add_option_function<std::vector<std::string>>("--hold", [&options](const std::vector<std::string>& texts) {
        for (const std::string& text : texts) {
          options.holds.emplace_back();
          parseKeyHold(text, options.holds.back());
        }
      }, "Hold the arrow KEY (up, down, left, right) from frame FIRST to frame LAST,\n"
         "both included, counting from 0; repeatable")
      ->type_name("KEY:FIRST-LAST")->check(CLI::Validator([](std::string& text) { return checkKeyHold(text); }, ""));
  app.set_version_flag("--version", app.get_name() + " " + SPH_VERSION);
}

CLI::Option* addCountOption(CLI::App& app, const std::string& name, int32_t& count, const std::string& description) {
  return app.add_option(name, count, description)->type_name("N")->transform(wholeNumber(1, INT32_TOP))
      ->capture_default_str();
}

CLI::Option* addRateOption(CLI::App& app, const std::string& name, double& rate, double low, double high,
                           const std::string& description) {
  return app.add_option(name, rate, description)->type_name("R")->capture_default_str()->check(CLI::Validator(
      [low, high](std::string& text) {
        // Decimal only, as people write a rate: digits and at most one point;
        // no sign, exponent, hex, blanks, inf or nan.
        const bool decimal = text.find_first_not_of("0123456789.") == std::string::npos &&
                             text.find_first_of("0123456789") != std::string::npos &&
                             text.find('.') == text.rfind('.');
        const double value = decimal ? std::strtod(text.c_str(), nullptr) : 0.0;
        if (decimal && value >= low && value <= high) return std::string();
        char range[64];
        std::snprintf(range, sizeof range, "from %g to %g", low, high);
        return "'" + text + "' is not a decimal number " + range;
      },
      ""));
}

CLI::Option* addPathOption(CLI::App& app, const std::string& name, std::string& path, const std::string& description) {
  return app.add_option(name, path, description)->type_name("PATH")->check(CLI::Validator([](std::string& text) {
    if (text.empty()) return std::string("needs a path, not an empty one");  // `--dump "$UNSET"`
    return text.rfind("--", 0) == 0 ? "needs a path, not the option " + text : std::string();
  }, ""));
}

int parseCommandLine(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::CallForVersion& version) {
    std::printf("%s\n", version.what());
    return 0;
  } catch (const CLI::ParseError& error) {
    std::fprintf(stderr, "%s: %s\n\n%s", app.get_name().c_str(), error.what(), app.help().c_str());
    return EXIT_BAD_USAGE;
  }
  return -1;
}

}  // namespace sph
