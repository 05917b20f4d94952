#!/usr/bin/env bash
# bench/make-corpus as README gives it: exactly N MP3 files, the same bytes for the same N and
# seed, other bytes for another seed, no Xing/Info frame with --no-header, and a folder that
# is not empty refused.
# usage: corpus_test.sh SOURCE_DIR
set -uo pipefail

MAKE="$1/bench/make-corpus"
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

T=$(mktemp -d)
trap 'rm -rf "$T"' EXIT

# fingerprint DIR: every file's path and checksum, in name order.
fingerprint() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 md5sum); }
mp3s() { find "$1" -type f -iname '*.mp3' | wc -l; }

"$MAKE" 40 "$T/a" >/dev/null || fail "make-corpus 40 failed"
[ "$(mp3s "$T/a")" -eq 40 ] || fail "40 asked for, $(mp3s "$T/a") made"
"$MAKE" 40 "$T/b" >/dev/null || fail "the second make-corpus 40 failed"
[ "$(fingerprint "$T/a")" = "$(fingerprint "$T/b")" ] || fail "the same seed made other files"
"$MAKE" 40 "$T/c" --seed 2 >/dev/null || fail "make-corpus --seed 2 failed"
[ "$(fingerprint "$T/a")" != "$(fingerprint "$T/c")" ] || fail "another seed made the same files"
# A tagged file whose audio is a lame clip starts its frames after the tag; a lame file tells
# its length in a Xing (variable) or Info (constant) frame unless made without one.
grep -rlaq -e Xing -e Info "$T/a" || fail "no Xing/Info frame in the normal corpus"
"$MAKE" 40 "$T/n" --no-header >/dev/null || fail "make-corpus --no-header failed"
[ "$(mp3s "$T/n")" -eq 40 ] || fail "--no-header made $(mp3s "$T/n") files"
if grep -rla -e Xing -e Info "$T/n" | grep -q .; then fail "--no-header left a Xing/Info frame"; fi
if "$MAKE" 5 "$T/a" >/dev/null 2>&1; then fail "a folder that is not empty was written into"; fi
[ "$(mp3s "$T/a")" -eq 40 ] || fail "the refused run changed the folder"

if [ "$failures" -eq 0 ]; then
  echo "make-corpus: all checks passed"
else
  echo "make-corpus: $failures checks failed" >&2
  exit 1
fi
