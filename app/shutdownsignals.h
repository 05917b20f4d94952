#pragma once

#include <QObject>

#include <csignal>
#include <iterator>

class QSocketNotifier;
class frmMain;

// Turns SIGTERM, SIGHUP and SIGINT (a desktop logout, a closed terminal, Ctrl+C) into a Qt signal
// on the thread that made this object, so that the program closes as a close does instead of
// ending mid-write. The handlers only write the signal's number to a pipe; everything else runs
// from the event loop. One at a time: the handlers are the process's.
class ShutdownSignals final : public QObject {
  Q_OBJECT
  Q_DISABLE_COPY_MOVE(ShutdownSignals)

 public:
  static constexpr int kHandled[] = {SIGTERM, SIGHUP, SIGINT};

  // A signal the process was started ignoring (nohup, a shell's background job) stays ignored.
  explicit ShutdownSignals(QObject* parent = nullptr);
  // Puts back what the signals did before; after one of them came, ignores them instead.
  ~ShutdownSignals() override;

  // False when the pipe could not be made; the signals then end the program as before.
  bool installed() const { return m_notifier != nullptr; }

 signals:
  // One for each signal that came, on this object's thread.
  void received(int signalNumber);

 private:
  void drain();

  int m_pipe[2] = {-1, -1};
  QSocketNotifier* m_notifier = nullptr;
  struct sigaction m_previous[std::size(kHandled)] = {};
  bool m_replaced[std::size(kHandled)] = {};
  bool m_received = false;
};

// Has `shutdown` close `window` as a close does (frmMain::closeForSignal) and end the event loop
// once it has closed, also while other windows, such as the tag reader, are still open.
void closeOnShutdownSignals(const ShutdownSignals& shutdown, frmMain& window);
