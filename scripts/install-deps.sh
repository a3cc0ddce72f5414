#!/usr/bin/env bash
# Installs the Debian packages of scripts/packages.txt that are not installed yet. A second run with
# everything present does nothing (no apt-get call at all).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
wanted=$(grep -v '^#' "$here/packages.txt" | tr -s ' \n' '\n' | sed '/^$/d')
missing=()
for p in $wanted; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
