#!/usr/bin/env bash
# Installs what Kestrova needs on Debian 12, from Debian's own archive:
#   scripts/install-deps.sh            building and running (scripts/run.sh)
#   scripts/install-deps.sh --test     and the test suite: test tools, the
#                                      test mail servers, packaging, fuzzing
#                                      (scripts/test.sh)
#   scripts/install-deps.sh --package  and the packaging tools (scripts/package.sh)
#   scripts/install-deps.sh --bench    and the benchmarks' peers (scripts/bench.sh)
# Safe to run again: apt skips what is already there.
#
# It never stops, disables or replaces a service this machine already runs.
# The tests run their own Postfix and Dovecot with their own configuration
# and ports beside any system instance; they need the programs only. Postfix
# is left out where another mail server package is installed (installing it
# would remove that one); the tests that need it then skip and say why.
set -euo pipefail

test=0 package=0 bench=0
for arg in "$@"; do
  case $arg in
    --test) test=1 package=1 ;;
    --package) package=1 ;;
    --bench) bench=1 ;;
    *) echo "usage: $0 [--test] [--package] [--bench]" >&2; exit 2 ;;
  esac
done

PACKAGES=(
  # build
  cmake ninja-build g++ pkg-config qt6-base-dev qt6-base-dev-tools libqt6svg6
  libcurl4-openssl-dev libssl-dev libgtest-dev
  # run: the window font, Wayland, Qt's Japanese texts
  fonts-noto-cjk qt6-wayland qt6-translations-l10n
)
if [ $test = 1 ]; then
  PACKAGES+=(
    clang-format lhasa libarchive-tools python3 python3-aiosmtpd openssl
    dovecot-core dovecot-pop3d libmime-tools-perl
    xvfb trayer x11-utils xdotool imagemagick weston dbus-daemon openbox dunst strace
    # a user-space file system that stops answering on request
    fuse3 python3-fusepy
    # the suite's short fuzzing run
    clang libclang-rt-14-dev
  )
fi
if [ $package = 1 ]; then
  PACKAGES+=(dpkg-dev lintian desktop-file-utils)
fi
if [ $bench = 1 ]; then
  PACKAGES+=(clang libclang-rt-14-dev fswatch python3-watchdog jlha-utils hyperfine
    libarchive-tools lhasa)
fi

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "ok installed"
}

# Installed packages other than Postfix that provide a mail server.
other_mail_servers() {
  dpkg-query -W -f='${db:Status-Abbrev}\t${Package}\t${Provides}\n' 2>/dev/null |
    awk -F'\t' '$1 ~ /^.[iUFWt]/ && $2 != "postfix" &&
      $3 ~ /(^|[ ,])mail-transport-agent([ ,(]|$)/ { print $2 }'
}

if [ $test = 1 ]; then
  others=$(other_mail_servers | tr '\n' ' ')
  if [ -n "$others" ]; then
    echo "install-deps: Postfix is not installed beside this machine's mail server ($others); the real-MTA tests will skip" >&2
  else
    PACKAGES+=(postfix)
  fi
fi

missing=()
for p in "${PACKAGES[@]}"; do
  installed "$p" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
$SUDO apt-get update -qq

# Services installed here are programs for the tests, not services of this
# machine: they are neither started nor enabled. Only the ones this run
# installs are concerned; anything already installed is left as it is.
new_services=()
for p in postfix dovecot-core; do
  for m in "${missing[@]}"; do
    [ "$m" = "$p" ] && new_services+=("${p%-core}")
  done
done
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ${#new_services[@]} -gt 0 ]; then
  # Postfix asks what kind of mail system this is: none, the tests bring
  # their own configuration.
  echo "postfix postfix/main_mailer_type select No configuration" | $SUDO debconf-set-selections
  # A policy that refuses to start these two only, for the length of the
  # install; an existing policy is the administrator's and stays.
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# Left by scripts/install-deps.sh while it runs.\ncase "$1" in postfix | postfix@* | dovecot) exit 101 ;; esac\nexit 0\n' |
      $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    own_policy=1
    trap '$SUDO rm -f "$policy"' EXIT
  fi
fi

DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"

if [ ${#new_services[@]} -gt 0 ]; then
  [ $own_policy = 0 ] || { $SUDO rm -f "$policy"; trap - EXIT; }
  if command -v systemctl >/dev/null && [ -d /run/systemd/system ]; then
    # Just installed by this run, so never a service the machine had.
    for s in "${new_services[@]}"; do
      $SUDO systemctl disable --now "$s" >/dev/null 2>&1 || true
    done
  fi
fi
