#!/bin/sh
# check_install.sh BUILD_DIR: installs the build into a scratch prefix and checks what a
# user gets there: the two programs, the manual pages man finds, the resources, and a
# talvora-record that finds the talvora-audio installed next to it.
set -u
build=$1
scratch=$(mktemp -d /tmp/talvora-install-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cmake --install "$build" --prefix "$scratch/usr" >"$scratch/install.log" 2>&1 || { cat "$scratch/install.log"; fail "cmake --install"; }
for file in bin/talvora-audio bin/talvora-record share/man/man1/talvora-audio.1.gz share/man/man1/talvora-record.1.gz \
            share/talvora-audio/Info.plist; do
  [ -f "$scratch/usr/$file" ] || fail "$file not installed"
done
[ -x "$scratch/usr/bin/talvora-audio" ] && [ -x "$scratch/usr/bin/talvora-record" ] || fail "programs not executable"
MANPATH="$scratch/usr/share/man" man -w talvora-record >/dev/null 2>&1 || fail "man does not find talvora-record"

out=$("$scratch/usr/bin/talvora-audio" note.wav 1801 false </dev/null 2>&1)
status=$?
[ "$status" = 1 ] || fail "talvora-audio with a bad duration exited $status"
[ "$out" = '{"event":"error","message":"Invalid recording duration"}' ] || fail "talvora-audio said: $out"

# No sound server reachable: the recorder (found next to talvora-record, not on PATH)
# refuses, and talvora-record passes its reason on with status 1.
mkdir "$scratch/home" "$scratch/run"
out=$(cd "$scratch" && env -i PATH=/usr/bin:/bin HOME="$scratch/home" XDG_RUNTIME_DIR="$scratch/run" \
      "$scratch/usr/bin/talvora-record" note.wav --max 1 </dev/null 2>&1)
status=$?
[ "$status" = 1 ] || fail "talvora-record without a server exited $status: $out"
case $out in
  *"cannot start"*) fail "talvora-record did not find its recorder: $out" ;;
  *"talvora-record: "*) ;;
  *) fail "talvora-record gave no reason: $out" ;;
esac
exit 0
