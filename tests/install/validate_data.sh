#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the desktop-entry and AppStream validators over the files the package installs.
# Usage: validate_data.sh <source folder>
set -euo pipefail
data=$1/data
for tool in desktop-file-validate appstreamcli; do
  command -v "$tool" >/dev/null || { echo "validate: $tool is missing (scripts/bootstrap installs it)" >&2; exit 1; }
done
desktop-file-validate "$data/com.kestrune.Romsend.desktop"
# Without --no-net the validator would try to reach the URLs in the file.
appstreamcli validate --no-net "$data/com.kestrune.Romsend.metainfo.xml"
