// The dump file is replaced whole or not at all.
#include "atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "runner_support.h"

namespace sph {
namespace {

using runner_test::readFile;
using runner_test::ScratchDir;
using runner_test::writeFile;

TEST(AtomicFile, WritesANewFileAndNothingElse) {
  ScratchDir dir;
  std::string error;
  ASSERT_TRUE(writeFileAtomically(dir.file("out.csv"), "a,b\n1,2\n", error)) << error;
  EXPECT_EQ(readFile(dir.file("out.csv")), "a,b\n1,2\n");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.csv"});
}

TEST(AtomicFile, ReplacesALongerFileCompletely) {
  ScratchDir dir;
  writeFile(dir.file("out.csv"), std::string(10000, 'x'));
  std::string error;
  ASSERT_TRUE(writeFileAtomically(dir.file("out.csv"), "short\n", error)) << error;
  EXPECT_EQ(readFile(dir.file("out.csv")), "short\n");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.csv"});
}

TEST(AtomicFile, WritesAnEmptyText) {
  ScratchDir dir;
  std::string error;
  ASSERT_TRUE(writeFileAtomically(dir.file("empty"), "", error)) << error;
  EXPECT_EQ(readFile(dir.file("empty")), "");
}

TEST(AtomicFile, NewFileGetsUmaskPermissionsNotPrivateOnes) {
  ScratchDir dir;
  const mode_t previous = umask(022);
  std::string error;
  const bool written = writeFileAtomically(dir.file("out.csv"), "x\n", error);
  umask(previous);
  ASSERT_TRUE(written) << error;
  struct stat status;
  ASSERT_EQ(stat(dir.file("out.csv").c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, mode_t(0644));
}

TEST(AtomicFile, FailsInAMissingDirectoryAndLeavesNothing) {
  ScratchDir dir;
  std::string error;
  EXPECT_FALSE(checkFileCanBeWritten(dir.file("missing/out.csv"), error));
  EXPECT_NE(error.find("missing/out.csv"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(writeFileAtomically(dir.file("missing/out.csv"), "x\n", error));
  EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
  EXPECT_TRUE(dir.entries().empty());
}

TEST(AtomicFile, RefusesADirectoryAsTarget) {
  ScratchDir dir;
  std::string error;
  EXPECT_FALSE(checkFileCanBeWritten(dir.path, error));
  EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(writeFileAtomically(dir.path, "x\n", error));
  EXPECT_NE(error.find("Is a directory"), std::string::npos) << error;
  EXPECT_TRUE(dir.entries().empty());
}

TEST(AtomicFile, ReportsAWriteErrorOnADevice) {
  // /dev/full accepts the open and fails the write: the error must surface
  // (it shows at the flush, not at fwrite).
  std::string error;
  EXPECT_TRUE(checkFileCanBeWritten("/dev/full", error)) << error;
  EXPECT_FALSE(writeFileAtomically("/dev/full", "x\n", error));
  EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
}

TEST(AtomicFile, CheckLeavesNoFileBehind) {
  ScratchDir dir;
  std::string error;
  EXPECT_TRUE(checkFileCanBeWritten(dir.file("out.csv"), error)) << error;
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
}  // namespace sph
