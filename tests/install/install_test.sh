#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a temp prefix and runs the installed programs from there: pageburn
# prints its usage, romsend starts offscreen and keeps running, and the help texts sit where an
# installed romsend looks for them.
# Usage: install_test.sh <build folder> <source folder>
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
fail() {
  echo "install test: $*" >&2
  exit 1
}

cmake --install "$build" --prefix "$prefix" >/dev/null

for f in bin/romsend bin/pageburn share/romsend/help.txt share/romsend/midi_help.txt \
  share/applications/com.kestrune.Romsend.desktop share/metainfo/com.kestrune.Romsend.metainfo.xml \
  share/icons/hicolor/scalable/apps/com.kestrune.Romsend.svg share/man/man1/romsend.1.gz \
  share/man/man1/pageburn.1.gz share/doc/kestrune-update-tools/copyright lib/udev/rules.d/60-kestrune-update.rules; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done

# romsend in <prefix>/bin reads <prefix>/share/romsend/<name> when no file of that name stands
# beside it; the installed texts must be the project's own.
[ ! -e "$prefix/bin/help.txt" ] || fail "help.txt installed beside the program"
cmp -s "$source/data/help.txt" "$prefix/share/romsend/help.txt" || fail "share/romsend/help.txt differs"
cmp -s "$source/data/midi_help.txt" "$prefix/share/romsend/midi_help.txt" || fail "share/romsend/midi_help.txt differs"

# Private settings, state, runtime and an empty sysfs, so nothing of this machine is read or written.
mkdir -p "$work/home" "$work/config" "$work/state" "$work/run" "$work/sys" "$work/dev" "$work/cwd"
chmod 700 "$work/run"
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_STATE_HOME=$work/state XDG_RUNTIME_DIR=$work/run
export KESTRUNE_SYSFS_ROOT=$work/sys KESTRUNE_DEV_ROOT=$work/dev
cd "$work/cwd"

status=0
usage=$("$prefix/bin/pageburn" '?' </dev/null 2>&1) || status=$?
[ "$status" -eq 1 ] || fail "pageburn ? exited with $status, not 1"
grep -qF "Usage: $prefix/bin/pageburn <<source file>> [flags]" <<<"$usage" || fail "pageburn printed no usage: $usage"
grep -qF "port=<text>" <<<"$usage" || fail "pageburn's usage lacks the port flag: $usage"

# A window that is still open after two seconds has started; `timeout` then ends it (124).
status=0
QT_QPA_PLATFORM=offscreen timeout 2 "$prefix/bin/romsend" </dev/null >"$work/romsend.out" 2>&1 || status=$?
[ "$status" -eq 124 ] || fail "installed romsend ended with $status before it was stopped: $(cat "$work/romsend.out")"
echo "install test: installed into $prefix; pageburn usage and romsend start checked"
