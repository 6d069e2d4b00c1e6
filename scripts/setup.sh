#!/usr/bin/env bash
# Installs every build and test dependency on a Debian machine. Does nothing when all is there.
set -euo pipefail
packages=(cmake g++ ninja-build qt6-base-dev qt6-serialport-dev libgl-dev xvfb xauth openbox dpkg-dev file ser2net tshark)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
