#pragma once

#include <sys/resource.h>

#include <algorithm>

namespace testsupport {

// Lowers this process's soft limit of open descriptors to `soft` (never raises it) while it
// lives, so that a test shows the walk keeps within a modest limit without opening thousands of
// files first. The whole process shares the limit: keep it around the work under test only.
class DescriptorLimit {
 public:
  explicit DescriptorLimit(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &m_saved);
    rlimit lowered = m_saved;
    lowered.rlim_cur = std::min<rlim_t>(soft, m_saved.rlim_cur);
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &m_saved); }

  DescriptorLimit(const DescriptorLimit&) = delete;
  DescriptorLimit& operator=(const DescriptorLimit&) = delete;

 private:
  rlimit m_saved{};
};

}  // namespace testsupport
