// The command line of sph-bench, checked on the parser itself.
#include "bench_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sph {
namespace {

ParsedCommandLine parse(const std::vector<std::string>& arguments) { return parseBenchOptions(arguments); }

// Parses arguments that must be refused and returns the message.
std::string refusal(const std::vector<std::string>& arguments) {
  const ParsedCommandLine parsed = parse(arguments);
  EXPECT_EQ(parsed.outcome, ParseOutcome::Error);
  EXPECT_FALSE(parsed.error.empty());
  return parsed.error;
}

TEST(BenchOptions, DefaultsAreTheProgramsScene) {
  const ParsedCommandLine parsed = parse({});
  ASSERT_EQ(parsed.outcome, ParseOutcome::Run);
  EXPECT_EQ(parsed.options.frames, 1000);
  EXPECT_EQ(parsed.options.threads, 1);
  EXPECT_EQ(parsed.options.holdUpFrames, 0);
  EXPECT_EQ(parsed.options.layers.x, 20);
  EXPECT_EQ(parsed.options.layers.y, 20);
  EXPECT_EQ(parsed.options.layers.z, 40);
  EXPECT_TRUE(parsed.options.dumpPath.empty());
}

TEST(BenchOptions, ReadsEveryOption) {
  const ParsedCommandLine parsed =
      parse({"--frames", "12", "--threads", "3", "--hold-up", "7", "--layers", "4,5,6", "--dump", "out.csv"});
  ASSERT_EQ(parsed.outcome, ParseOutcome::Run) << parsed.error;
  EXPECT_EQ(parsed.options.frames, 12);
  EXPECT_EQ(parsed.options.threads, 3);
  EXPECT_EQ(parsed.options.holdUpFrames, 7);
  EXPECT_EQ(parsed.options.layers.x, 4);
  EXPECT_EQ(parsed.options.layers.y, 5);
  EXPECT_EQ(parsed.options.layers.z, 6);
  EXPECT_EQ(parsed.options.dumpPath, "out.csv");
}

TEST(BenchOptions, AcceptsTheEqualsForm) {
  const ParsedCommandLine parsed = parse({"--frames=0", "--threads=1024", "--layers=1,1,1", "--dump=a=b.csv"});
  ASSERT_EQ(parsed.outcome, ParseOutcome::Run) << parsed.error;
  EXPECT_EQ(parsed.options.frames, 0);
  EXPECT_EQ(parsed.options.threads, 1024);
  EXPECT_EQ(parsed.options.layers.x, 1);
  EXPECT_EQ(parsed.options.dumpPath, "a=b.csv");
}

TEST(BenchOptions, AcceptsTheExtremes) {
  const ParsedCommandLine parsed = parse({"--frames", "2147483647", "--hold-up", "2147483647"});
  ASSERT_EQ(parsed.outcome, ParseOutcome::Run) << parsed.error;
  EXPECT_EQ(parsed.options.frames, 2147483647);
  EXPECT_EQ(parsed.options.holdUpFrames, 2147483647);
  EXPECT_EQ(parse({"--layers", "160,160,160"}).outcome, ParseOutcome::Run);
}

TEST(BenchOptions, HelpWinsWhereverItStands) {
  EXPECT_EQ(parse({"--help"}).outcome, ParseOutcome::Help);
  EXPECT_EQ(parse({"--frames", "3", "--help"}).outcome, ParseOutcome::Help);
  EXPECT_EQ(parse({"-h"}).outcome, ParseOutcome::Help);
}

TEST(BenchOptions, RefusesUnknownOptions) {
  EXPECT_NE(refusal({"--frame", "3"}).find("unknown option '--frame'"), std::string::npos);
  EXPECT_NE(refusal({"frames"}).find("unknown option"), std::string::npos);
  EXPECT_NE(refusal({"-f"}).find("unknown option"), std::string::npos);
  EXPECT_NE(refusal({""}).find("unknown option"), std::string::npos);
}

TEST(BenchOptions, RefusesMissingValues) {
  EXPECT_NE(refusal({"--frames"}).find("--frames needs a value"), std::string::npos);
  EXPECT_NE(refusal({"--dump"}).find("--dump needs a value"), std::string::npos);
  EXPECT_NE(refusal({"--dump", "--frames", "3"}).find("--dump needs a value"), std::string::npos);
  EXPECT_NE(refusal({"--threads="}).find("--threads needs a value"), std::string::npos);
  EXPECT_NE(refusal({"--dump", ""}).find("--dump needs a value"), std::string::npos);
}

TEST(BenchOptions, RefusesMalformedNumbers) {
  for (const char* text : {"12x", "x12", "", " 12", "12 ", "+12", "1.5", "1e3", "0x10", "--", "-"}) {
    SCOPED_TRACE(text);
    const ParsedCommandLine parsed = parse({std::string("--frames=") + text});
    EXPECT_EQ(parsed.outcome, ParseOutcome::Error);
  }
  EXPECT_NE(refusal({"--frames", "12x"}).find("'12x' is not a whole number"), std::string::npos);
}

TEST(BenchOptions, RefusesValuesOutOfRange) {
  EXPECT_NE(refusal({"--frames", "-1"}).find("-1 is out of range"), std::string::npos);
  EXPECT_NE(refusal({"--frames", "2147483648"}).find("out of range"), std::string::npos);
  EXPECT_NE(refusal({"--frames", "99999999999999999999999"}).find("out of range"), std::string::npos);
  EXPECT_NE(refusal({"--threads", "0"}).find("--threads: 0 is out of range"), std::string::npos);
  EXPECT_NE(refusal({"--threads", "1025"}).find("out of range"), std::string::npos);
  EXPECT_NE(refusal({"--threads", "-3"}).find("out of range"), std::string::npos);
  EXPECT_NE(refusal({"--hold-up", "-1"}).find("out of range"), std::string::npos);
}

TEST(BenchOptions, RefusesBadLayers) {
  for (const char* text : {"1,2", "1,2,3,4", "1,,3", ",1,2", "1,2,", "a,b,c", "1;2;3", "20,20,40x", "1, 2,3"}) {
    SCOPED_TRACE(text);
    const ParsedCommandLine parsed = parse({"--layers", text});
    EXPECT_EQ(parsed.outcome, ParseOutcome::Error);
  }
  EXPECT_NE(refusal({"--layers", "1,2"}).find("three whole numbers"), std::string::npos);
  EXPECT_NE(refusal({"--layers", "0,20,40"}).find("out of range"), std::string::npos);
  EXPECT_NE(refusal({"--layers", "20,-1,40"}).find("out of range"), std::string::npos);
  EXPECT_NE(refusal({"--layers", "20,20,99999999999"}).find("out of range"), std::string::npos);
}

TEST(BenchOptions, RefusesBlocksThatLeaveTheBox) {
  EXPECT_NE(refusal({"--layers", "161,1,1"}).find("outside the box"), std::string::npos);
  EXPECT_NE(refusal({"--layers", "1,161,1"}).find("outside the box"), std::string::npos);
  EXPECT_NE(refusal({"--layers", "1,1,161"}).find("outside the box"), std::string::npos);
  EXPECT_NE(refusal({"--layers", "1000,1000,1000"}).find("outside the box"), std::string::npos);
}

TEST(BenchOptions, RefusesRepeatedOptions) {
  EXPECT_NE(refusal({"--frames", "3", "--frames=4"}).find("--frames given more than once"), std::string::npos);
}

TEST(BenchOptions, UsageNamesEveryOption) {
  const std::string usage = benchUsage("sph-bench");
  for (const char* option : {"--frames", "--threads", "--hold-up", "--layers", "--dump", "--help"})
    EXPECT_NE(usage.find(option), std::string::npos) << option;
  EXPECT_EQ(usage.rfind("Usage: sph-bench", 0), 0u);
  EXPECT_EQ(usage.back(), '\n');
}

}  // namespace
}  // namespace sph
