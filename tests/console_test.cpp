// The thread-count dialogue, on string streams.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <sstream>
#include <string>

#include "app/console.h"

namespace {

const std::string PROMPT = "Number of threads: ";
const std::string REFUSAL = "Please enter a whole number from 1 to 1024.\n";
const std::string NO_ANSWER = "No number of threads given before the end of input; using 1 thread.\n";

struct Dialogue {
  int32_t count;
  std::string prompts, errors, unread;
};

Dialogue answer(const std::string& typed) {
  std::istringstream in(typed);
  std::ostringstream prompts, errors;
  Dialogue d{sph::readThreadCount(in, prompts, errors), prompts.str(), errors.str(), ""};
  in.clear();
  d.unread.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return d;
}

std::string times(int n, const std::string& text) {
  std::string all;
  while (n-- > 0) all += text;
  return all;
}

// The dialogue as a person reads it: skip blanks and line ends; an answer
// that starts with a whole number from 1 to 1024 is taken, whatever follows
// it; any other answer is refused with the rest of its line; the end of the
// text means one thread. Returns the count and sets the refusals and whether
// the text ran out.
int32_t readAsAPersonWould(const std::string& typed, int& refusals, bool& ranOut) {
  refusals = 0;
  for (std::size_t at = 0;; ++refusals) {
    at = typed.find_first_not_of(" \t\n", at);
    ranOut = at == std::string::npos;
    if (ranOut) return 1;
    const bool minus = typed[at] == '-';
    std::size_t digits = at + (minus || typed[at] == '+'), stop = digits;
    while (stop < typed.size() && std::isdigit(static_cast<unsigned char>(typed[stop]))) ++stop;
    while (digits < stop && typed[digits] == '0') ++digits;
    const long value = stop - digits <= 4 ? std::atol(typed.substr(digits, stop - digits).c_str()) : 0;
    if (!minus && value >= 1 && value <= 1024) return int32_t(value);
    at = typed.find('\n', at);
  }
}

TEST(Console, AnyInputGivesACountOrOneThread) {
  std::mt19937 random(11);
  const std::string alphabet = "0123456789012345+- x.\n\t";
  for (int round = 0; round < 5000; ++round) {
    std::string typed(random() % 24, ' ');
    for (char& c : typed) c = alphabet[random() % alphabet.size()];
    int refusals = 0;
    bool ranOut = false;
    const int32_t expected = readAsAPersonWould(typed, refusals, ranOut);
    const Dialogue d = answer(typed);
    ASSERT_EQ(d.count, expected) << '"' << typed << '"';
    ASSERT_EQ(d.prompts, times(refusals + 1, PROMPT)) << '"' << typed << '"';
    ASSERT_EQ(d.errors, times(refusals, REFUSAL) + (ranOut ? NO_ANSWER : "")) << '"' << typed << '"';
  }
}

// The page hands each typed line over on its own, with its own limit: the
// count of workers it could start.
TEST(Console, OneLineAtATimeWithALimit) {
  using sph::ThreadAnswer;
  const struct {
    const char* line;
    ThreadAnswer answer;
    int32_t count;
  } cases[] = {{"2", ThreadAnswer::Taken, 2},    {" 1 thread", ThreadAnswer::Taken, 1}, {"3", ThreadAnswer::Refused, 0},
               {"two", ThreadAnswer::Refused, 0}, {"0", ThreadAnswer::Refused, 0},       {" \t", ThreadAnswer::Missing, 0}};
  for (const auto& c : cases) {
    std::istringstream line(c.line);
    std::ostringstream errors;
    int32_t count = 0;
    EXPECT_EQ(sph::readThreadAnswer(line, 2, errors, count), c.answer) << c.line;
    EXPECT_EQ(c.answer == ThreadAnswer::Taken ? count : 0, c.count) << c.line;
    EXPECT_EQ(errors.str(), c.answer == ThreadAnswer::Refused ? "Please enter a whole number from 1 to 2.\n" : "")
        << c.line;
  }
}

// A number followed by other text is taken; the rest of its line is left.
TEST(Console, TrailingText) {
  const Dialogue d = answer("3 threads\nnext\n");
  EXPECT_EQ(d.count, 3);
  EXPECT_EQ(d.unread, " threads\nnext\n");
}

}  // namespace
