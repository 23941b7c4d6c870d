#!/usr/bin/env bash
# Installs what building, running and testing Kestrova needs on Debian 12.
# Safe to run again: apt skips what is already there.
set -euo pipefail
PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libqt6svg6
  libcurl4-openssl-dev libssl-dev libgtest-dev clang-format
  # run
  fonts-noto-cjk qt6-wayland qt6-translations-l10n
  # test
  lhasa libarchive-tools python3 python3-aiosmtpd openssl
  postfix dovecot-core dovecot-pop3d libmime-tools-perl
  xvfb trayer x11-utils xdotool imagemagick weston dbus-daemon openbox dunst
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
  # Postfix asks what kind of mail system this is: none, the tests bring
  # their own configuration.
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  # Services such as postfix and dovecot must not start on install: tests
  # start their own. policy-rc.d answers "not now" to every start request.
  policy=/usr/sbin/policy-rc.d
  had_policy=0
  [ -e "$policy" ] && had_policy=1
  if [ $had_policy = 0 ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
  fi
  DEBIAN_FRONTEND=noninteractive RUNLEVEL=1 $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    { [ $had_policy = 1 ] || $SUDO rm -f "$policy"; exit 1; }
  [ $had_policy = 1 ] || $SUDO rm -f "$policy"
fi
# Whatever an earlier install left running or enabled is stopped: the
# system instances would hold port 25 and the default folders.
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
  $SUDO systemctl disable --now postfix dovecot >/dev/null 2>&1 || true
fi
if [ -x /usr/sbin/postfix ] && $SUDO /usr/sbin/postfix status >/dev/null 2>&1; then
  $SUDO /usr/sbin/postfix stop >/dev/null 2>&1 || true
fi
if [ -x /usr/sbin/doveadm ] && [ -S /run/dovecot/master ]; then
  $SUDO /usr/sbin/doveadm stop >/dev/null 2>&1 || true
fi
