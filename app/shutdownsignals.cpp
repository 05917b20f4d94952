#include "app/shutdownsignals.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>

#include "app/frmmain.h"

namespace {

// Read by the handler, so a plain lock-free atomic: nothing else is safe in a signal handler.
std::atomic<int> g_writeEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void noteShutdownSignal(int number) {
  const int saved = errno;
  const int fd = g_writeEnd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(number);
    // A full pipe already holds a signal that has not been seen yet: this one may be dropped.
    [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
  }
  errno = saved;
}

}  // namespace

ShutdownSignals::ShutdownSignals(QObject* parent) : QObject(parent) {
  if (::pipe2(m_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
    std::fprintf(stderr, "QuollsongDB: cannot watch for the end of the session: %s\n",
                 std::strerror(errno));
    m_pipe[0] = m_pipe[1] = -1;
    return;
  }
  g_writeEnd.store(m_pipe[1]);
  m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, &ShutdownSignals::drain);

  struct sigaction action {};
  action.sa_handler = noteShutdownSignal;
  sigemptyset(&action.sa_mask);
  // Slow calls the signal interrupts (a read from a network share) go on rather than fail.
  action.sa_flags = SA_RESTART;
  for (std::size_t i = 0; i < std::size(kHandled); ++i) {
    struct sigaction before {};
    if (::sigaction(kHandled[i], nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
    m_replaced[i] = ::sigaction(kHandled[i], &action, &m_previous[i]) == 0;
  }
}

ShutdownSignals::~ShutdownSignals() {
  // After one came, the program is ending for it: a session manager's repeats are ignored
  // rather than ending it with another status while it tidies up.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  for (std::size_t i = 0; i < std::size(kHandled); ++i)
    if (m_replaced[i]) ::sigaction(kHandled[i], m_received ? &ignore : &m_previous[i], nullptr);
  if (g_writeEnd.load() == m_pipe[1]) g_writeEnd.store(-1);
  delete m_notifier;
  for (const int fd : m_pipe)
    if (fd >= 0) ::close(fd);
}

void ShutdownSignals::drain() {
  unsigned char bytes[16];
  for (;;) {
    const ssize_t got = ::read(m_pipe[0], bytes, sizeof bytes);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return;
    m_received = true;
    for (ssize_t i = 0; i < got; ++i) emit received(bytes[i]);
  }
}

void closeOnShutdownSignals(const ShutdownSignals& shutdown, frmMain& window) {
  QObject::connect(&shutdown, &ShutdownSignals::received, &window, &frmMain::closeForSignal);
  // Queued: the window's close is over and its catalogue closed before the loop ends.
  QObject::connect(&window, &frmMain::closedForSignal, QCoreApplication::instance(),
                   &QCoreApplication::quit, Qt::QueuedConnection);
}
