#!/usr/bin/env bash
# Installs the Debian packages named as arguments that the machine lacks
# (apt-get update first, only when something is missing). Every CI stage
# calls it with what it needs, so each runs on its own as well:
#   .ci/install-packages.sh cmake g++ ...
set -euo pipefail
missing=()
for p in "$@"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== Installing: ${missing[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
