#pragma once

#include <memory>

#include "importqueue.h"
#include "mp3info.h"

namespace importer::pipeline {

// One of the import's reader threads: reads the queued files' tags, one file at a time, with a
// component of its own (made with `factory` the first time), opening files further on ahead so
// that their blocks are in memory by the time a reader comes to them. Returns once the walk is
// done and every file taken, or the import stops.
void readFiles(Shared& shared, std::unique_ptr<Mp3Info>& component, const Mp3InfoFactory& factory);

}  // namespace importer::pipeline
