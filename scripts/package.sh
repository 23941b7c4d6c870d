#!/usr/bin/env bash
# Builds the Debian package dist/kestrova_<version>_<arch>.deb from the
# source tree: a Release build with Debian's hardening flags in
# build-package/, installed under /usr into a staging folder, packed with
# dpkg-deb. Checks it with lintian when that is installed.
#   scripts/package.sh [--no-deps] [extra CMake arguments]
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" = "--no-deps" ]; then
  shift
else
  "$here/scripts/install-deps.sh" --package
fi
build=${KESTROVA_PACKAGE_BUILD:-$here/build-package}
dist=$here/dist
stage=$build/stage

export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" "$@" >/dev/null
ninja -C "$build" -j"${KESTROVA_JOBS:-$(nproc)}"

rm -rf "$stage"
DESTDIR=$stage cmake --install "$build" --strip >/dev/null

version=$(sed -n 's/^project(Kestrova VERSION \([0-9.]*\).*/\1/p' "$here/CMakeLists.txt")
arch=$(dpkg --print-architecture)
# Libraries found by dpkg-shlibdeps from what the program and both
# libraries link; what is loaded at run time is named by hand: the SVG icon
# loader is required, and so is the system's certificate store (mail goes
# out over TLS, and libcurl starts none without it); what only the desktop
# needs (the Wayland platform, Qt's Japanese texts, the window font) is
# recommended, so that
# "apt-get install --no-install-recommends" gives a lean server install on
# which "kestrova b" and the commands run.
mkdir -p "$stage/DEBIAN" "$build/shlibs/debian"
printf 'Source: kestrova\n\nPackage: kestrova\nArchitecture: any\n' >"$build/shlibs/debian/control"
libs=$( (cd "$build/shlibs" && dpkg-shlibdeps -O -e"$stage/usr/lib/kestrova/kestrova" \
  -e"$stage/usr/lib/kestrova/libbsmtp.so" -e"$stage/usr/lib/kestrova/libunlha32.so" 2>/dev/null) |
  sed -n 's/^shlibs:Depends=//p')
size=$(du -sk --exclude=DEBIAN "$stage" | cut -f1)
cat >"$stage/DEBIAN/control" <<CONTROL
Package: kestrova
Version: $version
Architecture: $arch
Maintainer: Kestrova maintainers <maintainers@users.noreply.c-seed-a96e7ce6.example>
Installed-Size: $size
Depends: $libs, libqt6svg6, ca-certificates
Recommends: qt6-wayland, qt6-translations-l10n, fonts-noto-cjk
Section: utils
Priority: optional
Description: resident folder watcher with mail notification (Japanese UI)
 Kestrova (ケストロバ) watches a list of folders and single files by
 polling and reports what was created, updated or deleted: in a message
 window, or by mail, with the changed file's text as the body, the file
 attached, or an LZH archive of it. It lives in the system tray, keeps an
 operation log, and runs without windows as a systemd service
 ("kestrova b"), one per user or one per instance of kestrova@.service.
CONTROL
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
  xargs -0 md5sum >DEBIAN/md5sums)
chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"

mkdir -p "$dist"
deb=$dist/kestrova_${version}_${arch}.deb
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
if command -v lintian >/dev/null; then
  # No errors allowed; warnings and notes are shown.
  lintian --fail-on error --tag-display-limit 0 "$deb"
fi
