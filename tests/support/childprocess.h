#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>

namespace testsupport {

// One end of a two-way pipe between a test and the process it forked; each side tells the other
// where it stands with one character at a time.
class Channel {
 public:
  explicit Channel(int fd) : m_fd(fd) {}
  void send(char step) const;
  // The next character from the other side. Throws std::runtime_error when none comes in time
  // or the other side has gone.
  char receive(std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;

 private:
  int m_fd;
};

// A process forked from the test, running `body` with its end of a channel. It ends with status
// 0 when body returns without an exception and without a failed expectation, 1 otherwise; the
// test's own process goes on untouched. A child still running when the object goes is killed.
class ChildProcess {
 public:
  struct Options {
    // When the test runs as root, the child gives up root for the "nobody" user first, so file
    // permissions apply to it.
    bool withoutRoot = false;
  };

  explicit ChildProcess(std::function<void(const Channel&)> body);
  ChildProcess(std::function<void(const Channel&)> body, Options options);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  const Channel& channel() const { return m_channel; }
  pid_t pid() const { return m_pid; }

  // SIGKILL, as a crash or a power cut would end it.
  void kill();
  // Waits for the child to end: its exit status, or 128 plus the signal that ended it.
  int wait();

 private:
  pid_t m_pid = -1;
  int m_fds[2] = {-1, -1};
  Channel m_channel{-1};
  bool m_reaped = false;
  int m_status = 0;
};

// True when this process runs as root; file permissions then hold only for a child started
// withoutRoot.
bool runningAsRoot();

// Gives the "nobody" user the folder, everything in it and the folders above it enough to reach
// it, so a child started withoutRoot can work there.
void handToUnprivilegedUser(const std::filesystem::path& folder);

}  // namespace testsupport
