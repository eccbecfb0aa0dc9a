#!/usr/bin/env bash
# Installs the build tree into a scratch DESTDIR and checks what a desktop needs of it: the
# executables, a valid desktop file, the icons, valid AppStream metainfo, the autostart
# template kept out of the system's autostart folder, and nothing of the build's own.
# Usage: check_install.sh BUILD_DIR
set -euo pipefail
build=$1
root=$(mktemp -d "${TMPDIR:-/tmp}/tallyvox-install.XXXXXX")
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$root" cmake --install "$build" --prefix /usr >/dev/null
usr="$root/usr"

for file in bin/tallyvox bin/tallyvox-cli share/applications/tallyvox.desktop \
  share/icons/hicolor/scalable/apps/tallyvox.svg \
  share/icons/hicolor/symbolic/apps/tallyvox-symbolic.svg \
  share/metainfo/com.tallyvox.Tallyvox.metainfo.xml share/tallyvox/autostart/tallyvox.desktop; do
  [ -e "$usr/$file" ] || fail "$file is not installed"
done
[ -x "$usr/bin/tallyvox" ] && [ -x "$usr/bin/tallyvox-cli" ] || fail "executables not executable"

desktop-file-validate "$usr/share/applications/tallyvox.desktop"
desktop-file-validate "$usr/share/tallyvox/autostart/tallyvox.desktop"
appstreamcli validate --no-net --strict "$usr/share/metainfo/com.tallyvox.Tallyvox.metainfo.xml"

# The metainfo names the release being installed, and the launcher it describes.
version=$("$usr/bin/tallyvox-cli" --version 2>/dev/null | grep -o '[0-9]\+\.[0-9]\+\.[0-9]\+' | head -1 || true)
grep -q "<release version=\"$version\"" "$usr/share/metainfo/com.tallyvox.Tallyvox.metainfo.xml" ||
  fail "the metainfo's release is not this version ($version)"
grep -q '<project_license>GPL-3.0-or-later</project_license>' \
  "$usr/share/metainfo/com.tallyvox.Tallyvox.metainfo.xml" || fail "the metainfo's licence"
grep -q '^License: GPL-3.0-or-later' "$usr/share/doc/tallyvox/copyright" || fail "copyright file"
grep -q '^License: MIT' "$usr/share/doc/tallyvox/copyright" || fail "whisper.cpp's licence"
grep -q '^Exec=tallyvox$' "$usr/share/applications/tallyvox.desktop" || fail "launcher Exec"
# The template starts the app found on PATH, wherever it was installed; in the system's
# autostart folder it would start Tallyvox for every user without asking.
grep -q '^Exec=tallyvox$' "$usr/share/tallyvox/autostart/tallyvox.desktop" ||
  fail "the autostart template does not start the app"
[ ! -e "$root/etc/xdg/autostart" ] || fail "installed into the system autostart folder"

# No headers, static libraries or CMake files of .deps travel along, and the executables do
# not look for libraries in the build tree. Shared libraries only where a whisper.cpp that
# chooses its kernels at run time keeps them, its own folder.
extra=$(cd "$root" && find . -type f \( -name '*.a' -o -name '*.h' -o -name '*.cmake' -o -name '*.so*' \
  -o -name '*.pc' \) -not -path './usr/lib/tallyvox/*.so*')
if grep -q '^TALLYVOX_WHISPER_DISPATCHED:BOOL=ON' "$build/CMakeCache.txt"; then
  [ -f "$usr/lib/tallyvox/libggml-cpu-x64.so" ] || fail "no CPU kernels for a plain x86-64"
  if [ -f "$build/lib/tallyvox/libggml-vulkan.so" ]; then
    [ -f "$usr/lib/tallyvox/libggml-vulkan.so" ] || fail "the Vulkan backend is not installed"
  fi
else
  [ ! -e "$usr/lib/tallyvox" ] || fail "a static whisper.cpp installed libraries"
fi
[ -z "$extra" ] || fail "build files installed: $extra"
for exe in "$usr/bin/tallyvox" "$usr/bin/tallyvox-cli"; do
  if readelf -d "$exe" | grep -E 'R(UN)?PATH' | grep -q -e "$build" -e '.deps'; then
    fail "$exe looks for libraries in the build tree"
  fi
done
echo "install tree OK"
