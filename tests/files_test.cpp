// Result files are whole or not there, written unnamed where the file system
// allows and under a temporary name where it does not: both ways give the
// same files, take any name the system takes, keep the mode (and, for root,
// the owner) of the file they replace, and leave nothing else. Links are
// followed to where the file really is.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <tuple>
#include <utility>

#include "atomic_file.h"

namespace sph {
namespace {

std::string contents(const std::string& path) {
  std::ostringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

long entries(const std::string& folder) { return std::distance(std::filesystem::directory_iterator(folder), {}); }

struct Folder {  // a temporary folder, removed with all it holds
  std::string path;
  Folder() {
    char pattern[] = "/tmp/sph-files-test.XXXXXX";
    path = mkdtemp(pattern);
  }
  ~Folder() { std::filesystem::remove_all(path); }
};

TEST(ResultFiles, WholeOrNotThereEitherWay) {
  const mode_t umasked = umask(022);
  const long descriptors = entries("/proc/self/fd");
  for (const bool unnamed : {true, false}) {
    SCOPED_TRACE(unnamed ? "unnamed" : "named");
    unnamedFilesAllowed = unnamed;
    Folder folder;
    // The longest name, and the longest path, that the system takes: no
    // longer name fits beside them.
    std::string deep = folder.path;
    while (deep.size() < PATH_MAX - 100) {
      deep += "/" + std::string(std::min<std::size_t>(200, PATH_MAX - 100 - deep.size()), 'd');
      ASSERT_EQ(mkdir(deep.c_str(), 0777), 0);
    }
    std::string error;
    for (const std::string& path : {folder.path + "/out.csv", folder.path + "/" + std::string(NAME_MAX, 'n'),
                                    deep + "/" + std::string(PATH_MAX - 2 - deep.size(), 'n')}) {
      struct stat status;
      for (const char* text : {"new\n", "replaced\n"}) {  // a new file, then over it
        ASSERT_TRUE(checkFileCanBeWritten(path, error)) << error;
        ASSERT_TRUE(writeFileAtomically(path, text, error)) << error;
        EXPECT_EQ(contents(path), text);
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 07777, text[0] == 'n' ? 0644u : 0640u);  // 0666 less the umask, then kept
        EXPECT_EQ(status.st_uid, text[0] == 'n' || geteuid() != 0 ? geteuid() : 1234u);
        ASSERT_EQ(chmod(path.c_str(), 0640), 0);
        if (geteuid() == 0) {
          ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
        }
      }
      EXPECT_EQ(status.st_gid, geteuid() == 0 ? 5678u : getegid());
    }
    for (const std::string& path : {folder.path + "/missing/out.csv", folder.path + "/" + std::string(NAME_MAX + 1, 'n'),
                                    deep + "/" + std::string(PATH_MAX - 1 - deep.size(), 'n'), folder.path, std::string()}) {
      EXPECT_FALSE(checkFileCanBeWritten(path, error));
      EXPECT_FALSE(writeFileAtomically(path, "x", error));
      EXPECT_NE(error.find("'" + path + "': "), std::string::npos) << error;
    }
    PendingFile abandoned;
    ASSERT_TRUE(openPendingFile(folder.path + "/never.csv", abandoned, error));
    discardPendingFile(abandoned);
    EXPECT_EQ(entries(folder.path), 3) << "out.csv, the long name and the deep folder";
    EXPECT_EQ(entries(deep), 1);
  }
  unnamedFilesAllowed = true;
  umask(umasked);
  EXPECT_EQ(entries("/proc/self/fd"), descriptors) << "none left open";
}

// A link to a file has the file replaced where it is, the link kept; a link
// to nothing has the file made where it points; a descriptor (/dev/stdout
// leads to /proc/self/fd/1) is written in place, after what is already
// written through it.
TEST(ResultFiles, LinksAreFollowed) {
  Folder links, real;
  const int stream = open((real.path + "/stream").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_EQ(write(stream, "head\n", 5), 5);
  for (const auto& [link, to] : {std::pair<const char*, std::string>{"file", real.path + "/file"}, {"chain", "file"},
                                 {"dangling", "../" + std::filesystem::path(real.path).filename().string() + "/new"},
                                 {"stdout", "/proc/self/fd/" + std::to_string(stream)}, {"loop", "loop"}, {"folder", "."}})
    ASSERT_EQ(symlink(to.c_str(), (links.path + "/" + link).c_str()), 0);
  std::ofstream(real.path + "/file") << "old\n";
  std::string error;
  for (const auto& [link, file, expected] : {std::tuple<const char*, const char*, const char*>{"file", "file", "file\n"},
                                             {"chain", "file", "chain\n"}, {"dangling", "new", "dangling\n"},
                                             {"stdout", "stream", "head\nstdout\n"}}) {
    ASSERT_TRUE(writeFileAtomically(links.path + "/" + link, std::string(link) + "\n", error)) << error;
    EXPECT_EQ(contents(real.path + "/" + file), expected);
  }
  ASSERT_EQ(write(stream, "tail\n", 5), 5);
  close(stream);
  EXPECT_EQ(contents(real.path + "/stream"), "head\nstdout\ntail\n");
  for (const auto& [link, message] : {std::pair<const char*, const char*>{"loop", "Too many levels of symbolic links"},
                                      {"folder", "Is a directory"}}) {
    EXPECT_FALSE(checkFileCanBeWritten(links.path + "/" + link, error));
    EXPECT_NE(error.find(message), std::string::npos) << error;
  }
  sockaddr_un socketName{AF_UNIX, {}};  // neither replaced nor opened
  std::snprintf(socketName.sun_path, sizeof socketName.sun_path, "%s/socket", real.path.c_str());
  const int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(bind(listening, reinterpret_cast<const sockaddr*>(&socketName), sizeof socketName), 0);
  EXPECT_FALSE(writeFileAtomically(socketName.sun_path, "x", error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
  close(listening);
  for (const auto& entry : std::filesystem::directory_iterator(links.path)) EXPECT_TRUE(entry.is_symlink());
  EXPECT_EQ(entries(links.path), 6);
  EXPECT_EQ(entries(real.path), 4) << "file, new, stream and socket";
}

}  // namespace
}  // namespace sph
