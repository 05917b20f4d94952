#include "support/soundfiles.h"

#include <cstdlib>
#include <filesystem>

namespace testsupport {

bool encodeSound(const std::string& mp3, int seconds, const std::string& synth,
                 const std::string& effect, const std::string& lameOptions) {
  const std::string wav = mp3 + ".wav";
  const std::string command = "sox -R -n -r 44100 -c 2 -b 16 '" + wav + "' synth " +
                              std::to_string(seconds) + " " + synth + " vol 0.5 " + effect +
                              " && lame --quiet " + lameOptions + " '" + wav + "' '" + mp3 + "'";
  const bool made = std::system(command.c_str()) == 0;
  std::error_code ignored;
  std::filesystem::remove(wav, ignored);
  return made;
}

}  // namespace testsupport
