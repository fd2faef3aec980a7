// The thread-count dialogue, driven through string streams.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/console.h"

namespace {

struct Dialogue {
  int32_t count;
  std::string prompts;
  std::string errors;
  std::string unread;  // what is left in the input afterwards
};

Dialogue answer(const std::string& typed) {
  std::istringstream in(typed);
  std::ostringstream prompts, errors;
  Dialogue d;
  d.count = sph::readThreadCount(in, prompts, errors);
  d.prompts = prompts.str();
  d.errors = errors.str();
  in.clear();
  d.unread.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return d;
}

std::string repeated(const std::string& text, int times) {
  std::string all;
  for (int i = 0; i < times; ++i) all += text;
  return all;
}

int lineCount(const std::string& text) {
  int lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

const std::string PROMPT = "Number of threads: ";
const std::string RANGE_MESSAGE = "Please enter a whole number from 1 to 1024.\n";

TEST(ThreadCountPrompt, ValidAnswerIsTakenAfterOnePrompt) {
  const Dialogue d = answer("2\n");
  EXPECT_EQ(d.count, 2);
  EXPECT_EQ(d.prompts, PROMPT);
  EXPECT_EQ(d.errors, "");
}

TEST(ThreadCountPrompt, LimitsAreAccepted) {
  EXPECT_EQ(answer("1\n").count, 1);
  EXPECT_EQ(answer("1024\n").count, 1024);
  EXPECT_EQ(answer("1024").count, 1024);  // no line end before the input ends
}

TEST(ThreadCountPrompt, LeadingBlanksAndSignAreAllowed) {
  const Dialogue d = answer("  \n\t +3\n");
  EXPECT_EQ(d.count, 3);
  EXPECT_EQ(d.prompts, PROMPT);  // blank lines are skipped, not answers
  EXPECT_EQ(d.errors, "");
}

TEST(ThreadCountPrompt, TrailingTextIsLeftUnread) {
  const Dialogue d = answer("3 threads\nnext line\n");
  EXPECT_EQ(d.count, 3);
  EXPECT_EQ(d.prompts, PROMPT);
  EXPECT_EQ(d.errors, "");
  EXPECT_EQ(d.unread, " threads\nnext line\n");
}

TEST(ThreadCountPrompt, ReadingStopsAtTheFirstNonDigit) {
  EXPECT_EQ(answer("4.5\n").count, 4);
  EXPECT_EQ(answer("7abc\n").count, 7);
}

TEST(ThreadCountPrompt, EachKindOfBadAnswerIsAskedAgain) {
  for (const char* bad : {"abc", "0", "-2", "1025", "5000", "2147483648", "99999999999",
                          "-99999999999", "+", "-", ".5"}) {
    SCOPED_TRACE(bad);
    const Dialogue d = answer(std::string(bad) + "\n6\n");
    EXPECT_EQ(d.count, 6);
    EXPECT_EQ(d.prompts, PROMPT + PROMPT);
    EXPECT_EQ(d.errors, RANGE_MESSAGE);
  }
}

TEST(ThreadCountPrompt, RestOfABadLineIsDiscarded) {
  // The 8 on the rejected line must not be taken as the next answer.
  const Dialogue d = answer("0 8\nx 8\n5\n");
  EXPECT_EQ(d.count, 5);
  EXPECT_EQ(d.prompts, repeated(PROMPT, 3));
  EXPECT_EQ(d.errors, RANGE_MESSAGE + RANGE_MESSAGE);
}

TEST(ThreadCountPrompt, SeveralBadAnswersThenAGoodOne) {
  const Dialogue d = answer("abc\n0\n5000\n99999999999\n2\n");
  EXPECT_EQ(d.count, 2);
  EXPECT_EQ(d.prompts, repeated(PROMPT, 5));
  EXPECT_EQ(d.errors, repeated(RANGE_MESSAGE, 4));
}

TEST(ThreadCountPrompt, EmptyInputRunsOnOneThread) {
  const Dialogue d = answer("");
  EXPECT_EQ(d.count, 1);
  EXPECT_EQ(d.prompts, PROMPT);
  EXPECT_EQ(lineCount(d.errors), 1);
  EXPECT_NE(d.errors.find("1 thread"), std::string::npos);
}

TEST(ThreadCountPrompt, InputOfOnlyBlanksRunsOnOneThread) {
  const Dialogue d = answer(" \n\n ");
  EXPECT_EQ(d.count, 1);
  EXPECT_EQ(d.prompts, PROMPT);
  EXPECT_EQ(lineCount(d.errors), 1);
}

TEST(ThreadCountPrompt, EndOfInputAfterBadAnswersRunsOnOneThread) {
  for (const char* typed : {"0\n", "abc", "99999999999", "0\n\n"}) {
    SCOPED_TRACE(typed);
    const Dialogue d = answer(typed);
    EXPECT_EQ(d.count, 1);
    EXPECT_EQ(d.prompts, PROMPT + PROMPT);
    EXPECT_EQ(lineCount(d.errors), 2);
    EXPECT_EQ(d.errors.substr(0, RANGE_MESSAGE.size()), RANGE_MESSAGE);
  }
}

// The prompt must reach the terminal before the program blocks on input:
// the input below notes what had been flushed to the prompt stream each time
// it is asked for a character.
struct FlushedText : std::stringbuf {
  std::string flushed;
  int sync() override {
    flushed = str();
    return 0;
  }
};

struct WatchedInput : std::streambuf {
  WatchedInput(std::string text, const FlushedText& prompts) : text(std::move(text)), prompts(prompts) {}
  int_type underflow() override {
    if (next == text.size()) return traits_type::eof();
    flushedAtRead.push_back(prompts.flushed);
    current = text[next++];
    setg(&current, &current, &current + 1);
    return traits_type::to_int_type(current);
  }
  std::string text;
  const FlushedText& prompts;
  std::size_t next = 0;
  char current = 0;
  std::vector<std::string> flushedAtRead;
};

TEST(ThreadCountPrompt, PromptIsFlushedBeforeEachRead) {
  FlushedText promptBuffer;
  std::ostream prompts(&promptBuffer);
  WatchedInput inputBuffer("x\n3\n", promptBuffer);
  std::istream in(&inputBuffer);
  std::ostringstream errors;
  EXPECT_EQ(sph::readThreadCount(in, prompts, errors), 3);
  ASSERT_GE(inputBuffer.flushedAtRead.size(), 3u);
  EXPECT_EQ(inputBuffer.flushedAtRead.front(), PROMPT);          // reading "x"
  EXPECT_EQ(inputBuffer.flushedAtRead.back(), PROMPT + PROMPT);  // reading "3"
}

}  // namespace
