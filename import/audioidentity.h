#pragma once

#include <cstdint>
#include <optional>

namespace importer {

class ReadOnlyStream;

// What a file's audio is, whatever its tags and its name: how many bytes lie between its
// leading ID3v2 tag and its trailing tags, and a hash of those bytes' first, middle and last
// stretches together with that length. Retagging, moving or renaming a file leaves it as it
// is; two files share one when they hold the same encoded audio (copies of one file, or the
// same encoder run on the same sound). Reads three short stretches of the file, at most
// 3 x kAudioIdentityStretch bytes, two of which any reader of the tags reads anyway.
struct AudioIdentity {
  std::int64_t bytes = 0;
  std::uint64_t hash = 0;

  bool operator==(const AudioIdentity&) const = default;
};

inline constexpr long kAudioIdentityStretch = 4 * 1024;

// Where the audio of the file in `stream` ends: its length less the tags that may follow the
// audio, each behind the one before: ID3v1, APE, Lyrics3 v2 and an ID3v2 tag with a footer.
// Never before `first`.
long audioEnd(ReadOnlyStream& stream, long first);

// The identity of the audio that begins with the frame at `first`; nullopt when there is none
// (no byte of audio, or the file cannot be read).
std::optional<AudioIdentity> audioIdentity(ReadOnlyStream& stream, long first);

}  // namespace importer
