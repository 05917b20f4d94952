#pragma once

#include <string>
#include <vector>

#include "import/filehealth.h"

namespace findingtexts {

// The findings' problems, " | " between them, in the order the check gave them.
inline std::string problems(const std::vector<importer::HealthFinding>& findings) {
  std::string out;
  for (const importer::HealthFinding& f : findings) out += (out.empty() ? "" : " | ") + f.problem;
  return out;
}

// The same with each one's detail after it.
inline std::string everything(const std::vector<importer::HealthFinding>& findings) {
  std::string out;
  for (const importer::HealthFinding& f : findings)
    out += (out.empty() ? "" : " | ") + f.problem + ": " + f.detail;
  return out;
}

}  // namespace findingtexts
