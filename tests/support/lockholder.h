#pragma once

#include <string>

#include "support/childprocess.h"

namespace testsupport {

// Another program holding the catalogue at `path` in a write: a child process that opens it,
// begins an immediate transaction (when `onCue`, only once the test sends it a byte), runs
// `statement` in it when one is given, sends 'l' when it holds the lock, and commits once the
// test sends it another byte. The test's own connections must be closed before it starts: a
// child would inherit SQLite's record of them.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path, bool onCue = false, std::string statement = {});

  // With `onCue`: has the child take the lock; returns once it holds it.
  void take();
  // Returns once the child holds the lock (it took it at once).
  void held() { m_child.channel().receive(); }
  // Has the child commit and let go; it may not have done so yet when this returns.
  void letGo() { m_child.channel().send('r'); }
  // Waits for the child to end: 0 when everything it did succeeded.
  int wait() { return m_child.wait(); }

 private:
  ChildProcess m_child;
};

}  // namespace testsupport
