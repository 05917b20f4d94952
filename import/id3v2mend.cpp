#include "id3v2mend.h"

#include <taglib/id3v2frame.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/tbytevector.h>
#include <taglib/tiostream.h>

#include "filecheck.h"

namespace importer {

std::unique_ptr<TagLib::ID3v2::Tag> readId3v2AsWritten(
    TagLib::IOStream& stream, long offset, const TagLib::ID3v2::FrameFactory& factory) {
  stream.seek(offset);
  const TagLib::ByteVector headerBytes = stream.readBlock(TagLib::ID3v2::Header::size());
  if (headerBytes.size() < TagLib::ID3v2::Header::size() || !headerBytes.startsWith("ID3"))
    return nullptr;
  const TagLib::ID3v2::Header header(headerBytes);
  const TagLib::ByteVector body = stream.readBlock(header.tagSize());
  const Id3v2Frames frames =
      walkId3v2Frames(reinterpret_cast<const unsigned char*>(headerBytes.data()),
                      reinterpret_cast<const unsigned char*>(body.data()), body.size(),
                      kMaxTagEntries, Id3v2Reading::AsWritten);
  if (frames.overLimit) return nullptr;

  // TagLib hands its factory the rest of the tag from each frame on; mid() shares the bytes,
  // and so does a copy of the body read, where nothing was undone.
  const TagLib::ByteVector bytes =
      frames.original ? body
                      : TagLib::ByteVector(reinterpret_cast<const char*>(frames.bytes()),
                                           static_cast<unsigned int>(frames.size));
  auto tag = std::make_unique<TagLib::ID3v2::Tag>();
  for (const std::size_t at : frames.offsets) {
    TagLib::ID3v2::Frame* frame = factory.createFrame(bytes.mid(static_cast<unsigned int>(at)),
                                                      &header);
    if (!frame) continue;
    if (frame->size() == 0) {
      delete frame;
      continue;
    }
    tag->addFrame(frame);
  }
  return tag;
}

}  // namespace importer
