#pragma once

#include <memory>

namespace TagLib {
class IOStream;
namespace ID3v2 {
class FrameFactory;
class Tag;
}  // namespace ID3v2
}  // namespace TagLib

namespace importer {

// The ID3v2 tag at `offset` of `stream` read as it was written, where TagLib 1.13 would miss
// frames of it (FileCheck::id3v2Misread): each frame found is handed to `factory` by itself, as
// TagLib hands it the frames it finds, and one that it cannot make is left out while the others
// stay. Null when no tag begins there or it holds more frames than a tag may.
std::unique_ptr<TagLib::ID3v2::Tag> readId3v2AsWritten(
    TagLib::IOStream& stream, long offset, const TagLib::ID3v2::FrameFactory& factory);

}  // namespace importer
