// Result files are whole or not there, written unnamed where the file system
// allows and under a temporary name where it does not: both ways give the
// same files and leave nothing else.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "atomic_file.h"

namespace sph {
namespace {

std::string contents(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

TEST(ResultFiles, WholeOrNotThereEitherWay) {
  char pattern[] = "/tmp/sph-files-test.XXXXXX";
  const std::string folder = mkdtemp(pattern);
  const mode_t umasked = umask(022);
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "named");
    unnamedFilesAllowed = unnamed;
    std::string error;
    for (const char* text : {"new\n", "replaced\n"}) {  // a new file, then over it
      ASSERT_TRUE(writeFileAtomically(folder + "/out.csv", text, error)) << error;
      EXPECT_EQ(contents(folder + "/out.csv"), text);
    }
    struct stat status;
    ASSERT_EQ(stat((folder + "/out.csv").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
    EXPECT_FALSE(writeFileAtomically(folder + "/missing/out.csv", "x", error));
    EXPECT_NE(error.find("cannot create a file beside '" + folder + "/missing/out.csv'"), std::string::npos) << error;
    PendingFile abandoned;
    ASSERT_TRUE(openPendingFile(folder + "/never.csv", abandoned, error));
    discardPendingFile(abandoned);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 1) << "only out.csv";
    std::filesystem::remove(folder + "/out.csv");
  }
  unnamedFilesAllowed = true;
  umask(umasked);
  std::filesystem::remove(folder);
}

}  // namespace
}  // namespace sph
