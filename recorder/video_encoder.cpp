#include "video_encoder.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "stop_signals.h"

extern char** environ;

namespace sph {

namespace {

// Waits for the encoder; true when it exited with status 0 and said
// nothing. It reports only errors, and some (a full disk while it ends the
// file) it reports without a failing status.
bool waitForEncoder(VideoEncoder& video, std::string& error) {
  // Wait for the end without reaping, then reap under the lock: until then
  // the id stays the encoder's, whatever stopEncoder does meanwhile. Polled,
  // so that a stop signal ends an encoder that has stopped reading.
  int waited;
  for (;;) {
    siginfo_t ended{};
    waited = waitid(P_PID, id_t(video.child), &ended, WEXITED | WNOWAIT | WNOHANG);
    if ((waited == 0 && ended.si_pid != 0) || (waited < 0 && errno != EINTR)) break;
    if (stopSignal != 0) kill(video.child, SIGKILL);
    usleep(10000);
  }
  int status = 0;
  {
    std::lock_guard<std::mutex> lock(video.reaping);
    if (waited == 0) waitpid(video.child, &status, 0);
    video.child = -1;
  }
  if (waited < 0) {
    error = std::string("cannot learn how ffmpeg ended: ") + std::strerror(errno);
    return false;
  }
  std::string said(4096, '\0');
  const ssize_t length = pread(fileno(video.messages), said.data(), said.size(), 0);
  said.resize(length > 0 ? std::size_t(length) : 0);
  while (!said.empty() && said.back() == '\n') said.pop_back();
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && said.empty()) return true;
  error = "ffmpeg could not write the film '" + video.film.path + "'" +
          (said.empty() ? WIFEXITED(status) ? " (exit status " + std::to_string(WEXITSTATUS(status)) + ")"
                                            : std::string(" (") + strsignal(WTERMSIG(status)) + ")"
                        : ":\n" + said);
  return false;
}

}  // namespace

bool startVideo(VideoEncoder& video, const std::string& path, int width, int height, double framesPerSecond,
                std::string& error) {
  video.frameBytes = std::size_t(width) * std::size_t(height) * 3;
  // The film replaces its target when complete, which must not be a device
  // or a pipe (--video /dev/null; refused here); an MP4 needs a real file
  // anyway, to be seekable.
  if (!openPendingFile(path, video.film, error)) return false;
  int ends[2];
  video.messages = std::tmpfile();
  if (video.messages == nullptr || pipe2(ends, O_CLOEXEC) != 0) {
    error = std::string("cannot start ffmpeg: ") + std::strerror(errno);
    abandonVideo(video);
    return false;
  }
  char size[32], rate[32];
  std::snprintf(size, sizeof size, "%dx%d", width, height);
  std::snprintf(rate, sizeof rate, "%.17g", framesPerSecond);
  // The film is the encoder's descriptor 3; a named one is also found by
  // its name in the encoder's working folder, the film's. "file:" so that a
  // name with a colon or a leading dash is a file name.
  const std::string output = "file:" + (video.film.temporaryName.empty() ? "/proc/self/fd/3" : video.film.temporaryName);
  const char* const arguments[] = {
      "ffmpeg", "-hide_banner", "-loglevel", "error", "-nostdin",
      "-f", "rawvideo", "-pixel_format", "rgb24", "-video_size", size, "-framerate", rate, "-i", "pipe:0",
      // superfast: the encoder keeps up with the simulation on two cores; the
      // film of a ten-second run still takes only a few megabytes.
      "-c:v", "libx264", "-preset", "superfast", "-crf", "20", "-pix_fmt", "yuv420p", "-movflags", "+faststart",
      "-f", "mp4", "-y", output.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addfchdir_np(&actions, video.film.folder);  // before 3 may be taken
  posix_spawn_file_actions_adddup2(&actions, ends[0], STDIN_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, fileno(video.messages), STDERR_FILENO);
  posix_spawn_file_actions_addclose(&actions, fileno(video.messages));
  posix_spawn_file_actions_adddup2(&actions, video.film.descriptor, 3);
  // A process group of its own: Ctrl-C on the terminal reaches the recorder,
  // which then stops the encoder and removes the unfinished film. The
  // signals the recorder catches or ignores are the encoder's to handle.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int signal : {SIGPIPE, SIGINT, SIGTERM, SIGHUP}) sigaddset(&defaults, signal);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  const int failure = posix_spawnp(&video.child, "ffmpeg", &actions, &attributes,
                                   const_cast<char* const*>(arguments), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[0]);
  video.pipe = ends[1];
  if (failure != 0) {
    video.child = -1;  // nothing started
    error = failure == ENOENT ? "--video needs the ffmpeg program, which is not installed (Debian package ffmpeg)"
                              : std::string("cannot start ffmpeg: ") + std::strerror(failure);
    abandonVideo(video);
    return false;
  }
  return true;
}

bool writeVideoFrame(VideoEncoder& video, const std::vector<uint8_t>& rgb, std::string& error) {
  for (std::size_t done = 0; done < video.frameBytes;) {
    const ssize_t written = write(video.pipe, rgb.data() + done, video.frameBytes - done);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) {  // the encoder has ended: it says why
      close(video.pipe);
      video.pipe = -1;
      if (waitForEncoder(video, error)) error = "ffmpeg ended before the film '" + video.film.path + "' was complete";
      abandonVideo(video);
      return false;
    }
    done += std::size_t(written);
  }
  return true;
}

bool finishVideo(VideoEncoder& video, std::string& error) {
  close(video.pipe);  // end of input: the encoder finishes the file
  video.pipe = -1;
  if (!waitForEncoder(video, error)) {
    abandonVideo(video);
    return false;
  }
  const bool placed = commitPendingFile(video.film, error);
  abandonVideo(video);  // closes what is left
  return placed;
}

void stopEncoder(VideoEncoder& video) {
  std::lock_guard<std::mutex> lock(video.reaping);
  if (video.child > 0) kill(video.child, SIGKILL);
}

void abandonVideo(VideoEncoder& video) {
  if (video.pipe >= 0) close(video.pipe);
  video.pipe = -1;
  if (video.child > 0) {
    kill(video.child, SIGKILL);
    std::string ignored;
    waitForEncoder(video, ignored);
  }
  discardPendingFile(video.film);
  if (video.messages != nullptr) std::fclose(video.messages);
  video.messages = nullptr;
}

VideoEncoder::~VideoEncoder() { abandonVideo(*this); }

}  // namespace sph
