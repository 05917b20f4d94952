#!/usr/bin/env bash
# scripts/install --from an existing build, into a temporary home whose path holds a space and
# a quote: install, install again over a catalogue with a row in it, uninstall twice, an
# XDG_DATA_HOME of its own, and refused arguments. The real HOME is never used.
# usage: install_test.sh SOURCE_DIR BUILD_DIR CATALOGUE_QUERY
set -uo pipefail

SOURCE=$1
BUILD=$2
QUERY=$3
INSTALL="$SOURCE/scripts/install"

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
# expect DESCRIPTION COMMAND...: a failure when the command fails.
expect() {
  local what=$1
  shift
  "$@" || fail "$what"
}
contains() { grep -qF -- "$2" "$1"; }

for tool in desktop-file-validate file; do
  if ! command -v "$tool" >/dev/null; then
    echo "FAIL: $tool is missing (scripts/lib.sh installs it)" >&2
    exit 1
  fi
done

T=$(mktemp -d)
trap 'chmod -R u+rwX "$T"; rm -rf "$T"' EXIT
HOME_DIR="$T/home dir/o'neil"
mkdir -p "$HOME_DIR"

# run_install ARGS...: runs scripts/install as a user whose home is HOME_DIR, with INSTALL_PATH as
# PATH and XDG_DATA_HOME as in DATA (unset when empty); status, out and err are kept.
INSTALL_PATH=$PATH
DATA=""
run_install() {
  if [ -n "$DATA" ]; then
    env HOME="$HOME_DIR" XDG_DATA_HOME="$DATA" PATH="$INSTALL_PATH" \
      "$INSTALL" "$@" >"$T/out" 2>"$T/err"
  else
    env -u XDG_DATA_HOME HOME="$HOME_DIR" PATH="$INSTALL_PATH" \
      "$INSTALL" "$@" >"$T/out" 2>"$T/err"
  fi
  status=$?
}
query() { "$QUERY" "$CATALOGUE" "$1"; }

SHARE="$HOME_DIR/.local/share"
PROGRAM="$SHARE/quollsongdb/quollsongdb"
CATALOGUE="$SHARE/quollsongdb/music_1.mdb"
LAUNCHER="$HOME_DIR/.local/bin/quollsongdb"
DESKTOP_FILE="$SHARE/applications/quollsongdb.desktop"
ICONS="$SHARE/icons/hicolor"

# --- A first install -------------------------------------------------------------------------
run_install --from "$BUILD"
expect "install exits 0 (stderr: $(cat "$T/err"))" test "$status" -eq 0

expect "program installed" cmp -s "$BUILD/bin/quollsongdb" "$PROGRAM"
expect "program executable" test -x "$PROGRAM"

# The filter's index keeps tables of its own, named after it; shelf_search is all of them.
tables=$(query "SELECT group_concat(name, ' ') FROM (SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite%' AND name NOT LIKE 'shelf_search_%' ORDER BY name)")
expect "catalogue holds music_shelf, shelf_files, shelf_findings and shelf_search, not: $tables" test "$tables" = "music_shelf shelf_files shelf_findings shelf_search"
expect "catalogue empty" test "$(query "SELECT count(*) FROM music_shelf")" = 0

expect "launcher executable" test -x "$LAUNCHER"
# The launcher must start the installed program with the arguments it was given: a stand-in
# that reports how it was started takes the program's place for a moment.
mv "$PROGRAM" "$T/program"
# shellcheck disable=SC2016 # the stand-in expands $0 and $@ itself
printf '#!/bin/sh\nprintf "%%s\\n" "$0" "$@"\n' >"$PROGRAM"
chmod 755 "$PROGRAM"
expect "launcher runs the installed program" \
  test "$("$LAUNCHER" "two words" "it's")" = "$(printf '%s\n' "$PROGRAM" "two words" "it's")"

valid=0
desktop-file-validate "$DESKTOP_FILE" >"$T/validate" 2>&1 || valid=$?
expect "desktop entry valid: $(cat "$T/validate")" test "$valid" -eq 0 -a ! -s "$T/validate"
# The path holds a space, so the Exec value is the quoted path.
expect "desktop Exec is the program" contains "$DESKTOP_FILE" "Exec=\"$PROGRAM\""
expect "desktop Icon is the theme icon" contains "$DESKTOP_FILE" "Icon=quollsongdb"
expect "desktop Type" contains "$DESKTOP_FILE" "Type=Application"

mapfile -t icons < <(find "$ICONS" -name quollsongdb.png)
if [ "${#icons[@]}" -ne 1 ]; then
  fail "one icon in the theme, found: ${icons[*]}"
else
  size=$(file -b "${icons[0]}" | sed -n 's/^PNG image data, \([0-9]*\) x \([0-9]*\),.*/\1x\2/p')
  expect "icon is a PNG image" test -n "$size"
  expect "icon in the folder for its size ($size): ${icons[0]}" \
    test "${icons[0]}" = "$ICONS/$size/apps/quollsongdb.png"
  expect "icon is the program's" cmp -s "$SOURCE/app/quollsongdb.png" "${icons[0]}"
  icon=${icons[0]}
fi

for path in "$PROGRAM" "$CATALOGUE" "$LAUNCHER" "$DESKTOP_FILE" "${icon:-icon}"; do
  expect "install names $path" contains "$T/out" "$path"
done
expect "says ~/.local/bin is not on PATH" \
  contains "$T/out" "$HOME_DIR/.local/bin is not on your PATH"

# --- Installing again ------------------------------------------------------------------------
# It keeps the catalogue and its rows, puts the real program back over the stand-in, and
# removes an icon of another size an earlier install left.
query "INSERT INTO music_shelf (Title, Artist) VALUES ('Kept Song', 'Me')"
mkdir -p "$ICONS/16x16/apps"
cp "$SOURCE/app/quollsongdb.png" "$ICONS/16x16/apps/quollsongdb.png"
INSTALL_PATH="$HOME_DIR/.local/bin:$PATH"
run_install --from "$BUILD"
expect "install again exits 0 (stderr: $(cat "$T/err"))" test "$status" -eq 0
expect "catalogue row kept" \
  test "$(query "SELECT Title, Artist FROM music_shelf")" = "Kept Song|Me"
expect "says the catalogue is kept" contains "$T/out" "$CATALOGUE (kept)"
expect "program replaced" cmp -s "$BUILD/bin/quollsongdb" "$PROGRAM"
expect "old icon size removed" test ! -e "$ICONS/16x16/apps/quollsongdb.png"
expect "icon still there" test -e "${icon:-icon}"
expect "no PATH note when ~/.local/bin is on PATH" \
  test -z "$(grep -F "not on your PATH" "$T/out")"

# --- Uninstalling ----------------------------------------------------------------------------
cp "$SOURCE/app/quollsongdb.png" "$ICONS/16x16/apps/quollsongdb.png"
run_install --uninstall
expect "uninstall exits 0 (stderr: $(cat "$T/err"))" test "$status" -eq 0
for path in "$PROGRAM" "$LAUNCHER" "$DESKTOP_FILE"; do
  expect "uninstall removes $path" test ! -e "$path"
done
expect "uninstall removes icons of every size" test -z "$(find "$ICONS" -name quollsongdb.png)"
expect "uninstall keeps the catalogue row" \
  test "$(query "SELECT Title FROM music_shelf")" = "Kept Song"
expect "uninstall says where the catalogue is" contains "$T/out" "$CATALOGUE"

find "$HOME_DIR" | sort >"$T/before"
run_install --uninstall
expect "second uninstall exits 0 (stderr: $(cat "$T/err"))" test "$status" -eq 0
expect "second uninstall says where the catalogue is" contains "$T/out" "$CATALOGUE"
find "$HOME_DIR" | sort >"$T/after"
expect "second uninstall changes nothing" cmp -s "$T/before" "$T/after"
expect "catalogue still there" test "$(query "SELECT Title FROM music_shelf")" = "Kept Song"

# --- XDG_DATA_HOME ---------------------------------------------------------------------------
HOME_DIR="$T/second home"
DATA="$T/data"
mkdir -p "$HOME_DIR"
run_install --from "$BUILD"
expect "install with XDG_DATA_HOME exits 0 (stderr: $(cat "$T/err"))" test "$status" -eq 0
expect "program under XDG_DATA_HOME" test -x "$DATA/quollsongdb/quollsongdb"
expect "catalogue under XDG_DATA_HOME" test -f "$DATA/quollsongdb/music_1.mdb"
expect "desktop entry under XDG_DATA_HOME" test -f "$DATA/applications/quollsongdb.desktop"
expect "icon under XDG_DATA_HOME" test -n "$(find "$DATA/icons/hicolor" -name quollsongdb.png)"
expect "launcher still in ~/.local/bin" test -x "$HOME_DIR/.local/bin/quollsongdb"
expect "nothing in ~/.local/share" test ! -e "$HOME_DIR/.local/share"
run_install --uninstall
left=$(cd "$DATA" && find . -type f | sort)
expect "uninstall with XDG_DATA_HOME leaves only the catalogue, not: $left" \
  test "$left" = "./quollsongdb/music_1.mdb"

# --- Refused -----------------------------------------------------------------------------------
HOME_DIR="$T/third home"
DATA=""
mkdir -p "$HOME_DIR"
run_install --bogus
expect "unknown argument: exit 2" test "$status" -eq 2
expect "unknown argument: usage on stderr" contains "$T/err" "--from BUILD_DIR"
run_install --from "$T/nowhere"
expect "missing build folder: exit 1" test "$status" -eq 1
run_install --from "$T"
expect "build folder without programs: exit 1" test "$status" -eq 1
expect "refused runs install nothing" test -z "$(ls -A "$HOME_DIR")"
run_install --help
expect "--help: exit 0" test "$status" -eq 0
expect "--help documents --from" contains "$T/out" "--from BUILD_DIR"

# As root, with HOME still pointing at another user's home (sudo may keep it), everything made
# there would belong to root.
if [ "$(id -u)" -eq 0 ]; then
  chown 65534 "$HOME_DIR"
  run_install --from "$BUILD"
  expect "another user's home: refused" test "$status" -ne 0
  expect "another user's home: nothing made" test -z "$(ls -A "$HOME_DIR")"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "all install checks passed"
