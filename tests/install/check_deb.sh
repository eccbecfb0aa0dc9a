#!/usr/bin/env bash
# Builds the .deb with cpack from the build tree and checks its file list and its
# dependencies: the shared libraries found by dpkg-shlibdeps, and the Qt plugins it cannot see.
# Usage: check_deb.sh BUILD_DIR
set -euo pipefail
build=$1
out=$(mktemp -d "${TMPDIR:-/tmp}/tallyvox-deb.XXXXXX")
trap 'rm -rf "$out"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out" >"$out/cpack.log" 2>&1 ||
  { cat "$out/cpack.log" >&2; fail "cpack failed"; }
deb=$(ls "$out"/tallyvox_*.deb)
[ -f "$deb" ] || fail "no package made"

files=$(dpkg-deb -c "$deb" | awk '{print $6}')
for file in ./usr/bin/tallyvox ./usr/bin/tallyvox-cli ./usr/share/applications/tallyvox.desktop \
  ./usr/share/icons/hicolor/scalable/apps/tallyvox.svg \
  ./usr/share/icons/hicolor/symbolic/apps/tallyvox-symbolic.svg \
  ./usr/share/metainfo/com.tallyvox.Tallyvox.metainfo.xml \
  ./usr/share/tallyvox/autostart/tallyvox.desktop ./usr/share/doc/tallyvox/copyright; do
  grep -qxF "$file" <<<"$files" || fail "$file is not in the package"
done
if grep -E '\.(a|h|cmake|pc)$|/etc/xdg/autostart|/include/' <<<"$files"; then
  fail "the package carries build files or enables itself at login"
fi

# Linked against the dispatched whisper.cpp, the package carries it in a folder of its own, with
# CPU kernels for every x86-64 processor generation down to the plain one, and the executables
# look for it there wherever the package is unpacked.
if grep -q '^TALLYVOX_WHISPER_DISPATCHED:BOOL=ON' "$build/CMakeCache.txt"; then
  for file in ./usr/lib/tallyvox/libggml-cpu-x64.so ./usr/lib/tallyvox/libggml-cpu-sse42.so \
    ./usr/lib/tallyvox/libggml-cpu-haswell.so ./usr/lib/tallyvox/libggml-cpu-skylakex.so; do
    grep -qxF "$file" <<<"$files" || fail "$file is not in the package"
  done
  mkdir "$out/root"
  dpkg-deb -x "$deb" "$out/root"
  for exe in tallyvox tallyvox-cli; do
    needed=$(readelf -d "$out/root/usr/bin/$exe")
    grep -q 'R.*PATH.*\$ORIGIN/\.\./lib/tallyvox' <<<"$needed" || fail "$exe does not look in lib/tallyvox"
    for lib in $(sed -n 's/.*Shared library: \[\(lib\(whisper\|ggml\)[^]]*\)\]/\1/p' <<<"$needed"); do
      [ -f "$out/root/usr/lib/tallyvox/$lib" ] || fail "$exe needs $lib, which the package lacks"
    done
  done
  grep -q 'libwhisper' <<<"$(readelf -d "$out/root/usr/bin/tallyvox-cli")" ||
    fail "tallyvox-cli is not linked to the shared whisper.cpp"
  # Built with Vulkan, its backend travels beside the kernels, and the package depends on the
  # Vulkan loader it links (from dpkg-shlibdeps, as for everything else).
  if [ -f "$build/lib/tallyvox/libggml-vulkan.so" ]; then
    grep -qxF ./usr/lib/tallyvox/libggml-vulkan.so <<<"$files" ||
      fail "the Vulkan backend is not in the package"
    grep -qF 'libvulkan1 (>=' <<<"$(dpkg-deb -f "$deb" Depends)" || fail "Depends lacks libvulkan1"
  fi
fi

[ "$(dpkg-deb -f "$deb" Package)" = tallyvox ] || fail "package name"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# From dpkg-shlibdeps (with versions), and the run-time plugins added by hand.
for needed in 'libc6 (>=' 'libqt6widgets6 (>=' 'libpulse0 (>=' 'libglib2.0-0 (>=' \
  libqt6svg6 qt6-qpa-plugins; do
  grep -qF "$needed" <<<"$depends" || fail "Depends lacks $needed"
done
grep -q 'pipewire-pulse | pulseaudio' <<<"$(dpkg-deb -f "$deb" Recommends)" || fail "Recommends"
description=$(dpkg-deb -f "$deb" Description)
grep -qE ';[^ ]' <<<"$description" && fail "the description holds a list separator: $description"
for named in Zoom Teams Meet Firefox; do
  grep -q "$named" <<<"$description" || fail "the description does not name $named"
done
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/tallyvox/copyright |
  grep -q '^License: GPL-3.0-or-later' || fail "the copyright file names no licence"
echo "package OK: $(basename "$deb")"
