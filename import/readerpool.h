#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include "importqueue.h"
#include "mp3info.h"
#include "requestthreads.h"

namespace importer::pipeline {

// Opens the queued files ahead of the readers on the request threads, in walk order, and asks
// the system to start reading the parts of them the readers read, so that on a slow medium the
// round trips of many files overlap and the readers find their bytes in memory.
class Opener final : public RequestSource {
 public:
  // With `within`, only files that close to the next one a reader takes.
  explicit Opener(Shared& shared, std::size_t within = 0) : m_shared(shared), m_within(within) {}
  std::function<void()> take() override;

 private:
  Shared& m_shared;
  const std::size_t m_within;
};

// One of the import's reader threads: reads the queued files' tags, one file at a time, with a
// component of its own (made with `factory` the first time), from the file a request thread
// opened for it, or opens it itself when it comes first. Returns once the walk is done and every
// file taken, or the import stops.
void readFiles(Shared& shared, std::unique_ptr<Mp3Info>& component, const Mp3InfoFactory& factory);

}  // namespace importer::pipeline
