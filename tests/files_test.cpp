// Result files are whole or not there, written unnamed where the file system
// allows and under a temporary name where it does not: both ways give the
// same files, take any name the system takes, keep the mode, access control
// list and extended attributes (and, for root, the owner) of the file they
// replace, and leave nothing else. Links are followed to where the file
// really is; what the shell's `>` refuses is refused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
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

std::string attribute(const std::string& path, const char* name) {
  char value[256];
  const ssize_t length = getxattr(path.c_str(), name, value, sizeof value);
  return length < 0 ? std::strerror(errno) : std::string(value, std::size_t(length));
}

// user::rw- user:1234:rw- group::--- mask::rw- other::---, as the kernel
// keeps an access control list: the group bits of the mode show the mask.
std::string accessList() {
  const uint32_t version = 2, anyone = ~0u;
  const struct { uint16_t tag, permissions; uint32_t id; } entries[] = {
      {0x01, 6, anyone}, {0x02, 6, 1234}, {0x04, 0, anyone}, {0x10, 6, anyone}, {0x20, 0, anyone}};
  return std::string(reinterpret_cast<const char*>(&version), sizeof version) +
         std::string(reinterpret_cast<const char*>(entries), sizeof entries);
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
        EXPECT_EQ(status.st_mode & 07777, text[0] == 'n' ? 0644u : 0660u);  // 0666 less the umask, then kept
        EXPECT_EQ(status.st_uid, text[0] == 'n' || geteuid() != 0 ? geteuid() : 1234u);
        if (text[0] == 'r') {
          EXPECT_EQ(attribute(path, "user.origin"), "new\n");
          EXPECT_EQ(attribute(path, "system.posix_acl_access"), accessList());
        }
        ASSERT_EQ(chmod(path.c_str(), 0640), 0);
        if (geteuid() == 0) {
          ASSERT_EQ(chown(path.c_str(), 1234, 5678), 0);
        }
        ASSERT_EQ(setxattr(path.c_str(), "user.origin", text, std::strlen(text), 0), 0) << std::strerror(errno);
        ASSERT_EQ(setxattr(path.c_str(), "system.posix_acl_access", accessList().data(), accessList().size(), 0), 0);
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
// written through it; one open on a folder is refused as the folder is.
TEST(ResultFiles, LinksAreFollowed) {
  Folder links, real;
  const int stream = open((real.path + "/stream").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  ASSERT_EQ(write(stream, "head\n", 5), 5);
  const int openFolder = open(real.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (const auto& [link, to] : {std::pair<const char*, std::string>{"file", real.path + "/file"}, {"chain", "file"},
                                 {"dangling", "../" + std::filesystem::path(real.path).filename().string() + "/new"},
                                 {"stdout", "/proc/self/fd/" + std::to_string(stream)}, {"loop", "loop"}, {"folder", "."},
                                 {"openFolder", "/proc/self/fd/" + std::to_string(openFolder)}})
    ASSERT_EQ(symlink(to.c_str(), (links.path + "/" + link).c_str()), 0);
  std::ofstream(real.path + "/file") << "old\n";
  ASSERT_EQ(link((real.path + "/file").c_str(), (real.path + "/hard").c_str()), 0);  // replaced, not written through
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
  EXPECT_EQ(contents(real.path + "/hard"), "old\n");
  for (const auto& [link, message] : {std::pair<const char*, const char*>{"loop", "Too many levels of symbolic links"},
                                      {"folder", "Is a directory"}, {"openFolder", "Is a directory"}}) {
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
  close(openFolder);
  for (const auto& entry : std::filesystem::directory_iterator(links.path)) EXPECT_TRUE(entry.is_symlink());
  EXPECT_EQ(entries(links.path), 7);
  EXPECT_EQ(entries(real.path), 5) << "file, hard, new, stream and socket";
}

// The errno of a refused write of `path`, the early check and the write
// agreeing (0: written; 255: they disagree, or the reason is not told).
int refusal(const std::string& path) {
  std::string checkError, error;
  const bool checked = checkFileCanBeWritten(path, checkError);
  const int checkFailure = errno;
  if (writeFileAtomically(path, "x\n", error)) return checked ? 0 : 255;
  const int failure = errno;
  const bool agree = !checked && failure == checkFailure && error == checkError;
  return agree && error == "cannot write '" + path + "': " + std::strerror(failure) ? failure : 255;
}

// `attempt()` as user 1234 (group 5678) in a child process when this one is
// root, as this user otherwise; its result, 0 to 255.
template <class Attempt>
int asOrdinaryUser(Attempt attempt) {
  if (geteuid() != 0) return attempt();
  const pid_t child = fork();
  if (child == 0) {
    const bool dropped = setgroups(0, nullptr) == 0 && setresgid(5678, 5678, 5678) == 0 && setresuid(1234, 1234, 1234) == 0;
    _exit(dropped ? attempt() : 255);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

// fs.protected_symlinks set while this lives, where this process may set it
// (root): other tests that set it wait for it (a lock on the setting).
struct ProtectedSymlinks {
  int setting = open("/proc/sys/fs/protected_symlinks", O_RDWR | O_CLOEXEC);
  char old[8] = {};
  ProtectedSymlinks() {
    if (setting >= 0 && (flock(setting, LOCK_EX) != 0 || pread(setting, old, sizeof old - 1, 0) <= 0 ||
                         pwrite(setting, "1", 1, 0) != 1)) {
      close(setting);
      setting = -1;
    }
  }
  ~ProtectedSymlinks() {
    if (setting < 0) return;
    static_cast<void>(pwrite(setting, old, std::strlen(old), 0) == 0);
    close(setting);
  }
};

// What the shell's `>` refuses is refused with the system's reason, and
// nothing is written: a file the user may not write (root may), and another
// user's link in a sticky world-writable folder while fs.protected_symlinks
// is set (the link kept for root by LinksAreFollowed).
TEST(ResultFiles, RefusedWhereTheShellRefuses) {
  Folder own, shared;
  const std::string keep = own.path + "/keep.csv", link = shared.path + "/link";
  std::ofstream(keep) << "keep\n";
  ASSERT_EQ(chmod(keep.c_str(), 0444), 0);
  ASSERT_EQ(chmod(shared.path.c_str(), 01777), 0);
  ASSERT_EQ(symlink(keep.c_str(), link.c_str()), 0);
  if (geteuid() == 0) {
    for (const std::string& path : {own.path, keep, link}) ASSERT_EQ(lchown(path.c_str(), 1234, 5678), 0);
  }
  EXPECT_EQ(asOrdinaryUser([&] { return refusal(keep); }), EACCES);
  EXPECT_EQ(contents(keep), "keep\n");
  if (geteuid() != 0) GTEST_SKIP() << "root's writes and another user's link need root";
  {
    ProtectedSymlinks protectedSymlinks;
    if (protectedSymlinks.setting < 0) GTEST_SKIP() << "fs.protected_symlinks cannot be set here";
    EXPECT_EQ(refusal(link), EACCES);
    EXPECT_EQ(contents(keep), "keep\n");
  }
  EXPECT_EQ(refusal(keep), 0);
  EXPECT_EQ(contents(keep), "x\n");
  EXPECT_EQ(entries(own.path), 1);
  EXPECT_EQ(entries(shared.path), 1);
}

}  // namespace
}  // namespace sph
