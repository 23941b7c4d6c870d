#!/usr/bin/env bash
# Installs what building, running and testing Kestrova needs on Debian 12.
# Safe to run again: apt skips what is already there.
set -euo pipefail
PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libqt6svg6
  libcurl4-openssl-dev libgtest-dev clang-format
  # run
  fonts-noto-cjk qt6-wayland qt6-translations-l10n
  # test
  lhasa libarchive-tools python3 python3-aiosmtpd dovecot-pop3d openssl
  xvfb trayer x11-utils xdotool imagemagick weston
  # package
  dpkg-dev lintian desktop-file-utils
  # fuzzing and benchmarks
  clang libclang-rt-14-dev fswatch python3-watchdog jlha-utils hyperfine
)
missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  # Services such as dovecot must not start on install: tests start their own.
  DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
