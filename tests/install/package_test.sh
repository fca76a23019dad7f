#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package the way a release does (cpack -G DEB) and has lintian judge it: any
# error or warning fails. Overrides, if ever needed, go beside the package with a reason.
# Usage: package_test.sh <build folder>
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >"$work/cpack.out" 2>&1 || {
  cat "$work/cpack.out" >&2
  echo "package test: cpack failed" >&2
  exit 1
}
deb=$(find "$work" -maxdepth 1 -name '*.deb' -print -quit)
[ -n "$deb" ] || { echo "package test: cpack made no .deb" >&2; exit 1; }

# The documentation folder carries the licence and the changelog; man pages are compressed.
contents=$(dpkg-deb -c "$deb")
for f in ./usr/share/doc/kestrune-update-tools/copyright ./usr/share/doc/kestrune-update-tools/changelog.gz \
  ./usr/share/man/man1/romsend.1.gz ./usr/share/man/man1/pageburn.1.gz; do
  grep -qF " $f" <<<"$contents" || { echo "package test: $f missing from the package" >&2; exit 1; }
done

# lintian warns that it runs as root (CI does); that line is no finding about the package.
status=0
report=$(lintian --fail-on error,warning "$deb" 2>&1) || status=$?
findings=$(grep -v '^running with root privileges' <<<"$report" || true)
if [ "$status" -ne 0 ] || [ -n "$findings" ]; then
  echo "package test: lintian (exit $status):" >&2
  echo "$findings" >&2
  exit 1
fi
echo "package test: $(basename "$deb") built; lintian reports nothing"
