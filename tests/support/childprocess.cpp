#include "support/childprocess.h"

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <exception>
#include <stdexcept>

namespace testsupport {

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kNoGroup = 65534;

}  // namespace

void Channel::send(char step) const {
  // No SIGPIPE when the other side has ended: that would end the whole test program unreported.
  if (::send(m_fd, &step, 1, MSG_NOSIGNAL) != 1)
    throw std::runtime_error("channel: the other side has gone");
}

char Channel::receive(std::chrono::milliseconds timeout) const {
  pollfd wanted{m_fd, POLLIN, 0};
  const int ready = ::poll(&wanted, 1, static_cast<int>(timeout.count()));
  char step = 0;
  if (ready != 1 || ::read(m_fd, &step, 1) != 1)
    throw std::runtime_error("channel: nothing came from the other side");
  return step;
}

ChildProcess::ChildProcess(std::function<void(const Channel&)> body)
    : ChildProcess(std::move(body), Options{}) {}

ChildProcess::ChildProcess(std::function<void(const Channel&)> body, Options options) {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) != 0)
    throw std::runtime_error("socketpair failed");
  std::fflush(nullptr);
  m_pid = ::fork();
  if (m_pid < 0) throw std::runtime_error("fork failed");
  if (m_pid == 0) {
    ::close(m_fds[0]);
    int status = 0;
    try {
      if (options.withoutRoot && ::geteuid() == 0 &&
          (::setgroups(0, nullptr) != 0 || ::setgid(kNoGroup) != 0 || ::setuid(kNobody) != 0))
        throw std::runtime_error("could not give up root");
      body(Channel(m_fds[1]));
      if (::testing::Test::HasFailure()) status = 1;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "child process: %s\n", e.what());
      status = 1;
    } catch (...) {
      status = 1;
    }
    std::fflush(nullptr);
    ::_exit(status);  // no test framework teardown in the copy
  }
  ::close(m_fds[1]);
  m_fds[1] = -1;
  m_channel = Channel(m_fds[0]);
}

ChildProcess::~ChildProcess() {
  if (!m_reaped) {
    kill();
    wait();
  }
  ::close(m_fds[0]);
}

void ChildProcess::kill() {
  if (!m_reaped) ::kill(m_pid, SIGKILL);
}

int ChildProcess::wait() {
  if (!m_reaped) {
    int raw = 0;
    while (::waitpid(m_pid, &raw, 0) < 0 && errno == EINTR) {
    }
    m_reaped = true;
    m_status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  }
  return m_status;
}

bool runningAsRoot() { return ::geteuid() == 0; }

void handToUnprivilegedUser(const std::filesystem::path& folder) {
  if (!runningAsRoot()) return;
  for (auto above = folder.parent_path(); !above.empty() && above != above.root_path();
       above = above.parent_path()) {
    struct stat st {};
    if (::stat(above.c_str(), &st) == 0) ::chmod(above.c_str(), (st.st_mode & 07777) | 0111);
  }
  ::chown(folder.c_str(), kNobody, kNoGroup);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
    ::lchown(entry.path().c_str(), kNobody, kNoGroup);
}

}  // namespace testsupport
