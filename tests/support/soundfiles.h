#pragma once

#include <string>

namespace testsupport {

// Writes `seconds` of 16-bit stereo sound at 44100 Hz that sox synthesises (`synth`, such as
// "whitenoise" or "sine 440", then `effect` when given, such as "sinc -16k") into `mp3`, encoded
// by lame with `lameOptions`. Repeatable: sox's noise starts from the same seed every time.
// False when sox or lame fails or is missing (scripts/lib.sh installs both for the tests).
bool encodeSound(const std::string& mp3, int seconds, const std::string& synth,
                 const std::string& effect, const std::string& lameOptions);

}  // namespace testsupport
