#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and checks it the way Debian's own tools do:
# its name and version, dependencies computed from the programs, every file in its place,
# desktop-file-validate, appstreamcli validate, lintian (no errors, no warnings), and the
# unpacked programs started from a temporary root: the console offscreen comes up and stays up
# until it is sent SIGTERM, printing nothing; the simulator prints its device and names its
# sample update file; then the package installed with apt-get (no recommended packages) and
# its console started on an X server.
# Installs the tools it needs (apt-get, through sudo when not root) only when they are missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="${QUORVANE_PKG_BUILD:-$root/build-pkg}"

fail() { echo "package check: $*" >&2; exit 1; }

tools=(lintian desktop-file-utils appstream dpkg-dev file)
missing=()
for p in "${tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

"$root/scripts/package.sh"

version=$(sed -n 's/^project(Quorvane VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
[ -n "$version" ] || fail "no version in CMakeLists.txt"
arch=$(dpkg --print-architecture)
deb="$build/quorvane_${version}_${arch}.deb"
[ -f "$deb" ] || fail "$deb was not built"
[ "$(dpkg-deb -f "$deb" Package)" = quorvane ] || fail "wrong package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
[ -n "$(dpkg-deb -f "$deb" Section)" ] || fail "no section"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6core6 libqt6gui6 libqt6widgets6 libqt6serialport6; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
dpkg-deb -x "$deb" "$tmp/root"
id=com.kestrelworks.Quorvane
for f in usr/bin/quorvane usr/bin/quorvane-cli usr/bin/quorvane-drivesim usr/share/quorvane/samples/drivesim-sample.amx \
         usr/share/applications/$id.desktop usr/share/metainfo/$id.metainfo.xml \
         usr/share/icons/hicolor/scalable/apps/$id.svg \
         usr/share/man/man1/quorvane.1.gz usr/share/man/man1/quorvane-cli.1.gz \
         usr/share/man/man1/quorvane-drivesim.1.gz usr/share/quorvane/wireshark/quorvane.lua \
         usr/share/doc/quorvane/copyright usr/share/doc/quorvane/changelog.gz; do
  [ -e "$tmp/root/$f" ] || fail "missing /$f"
done
for size in 16 24 32 48 64 128 256; do
  png="$tmp/root/usr/share/icons/hicolor/${size}x${size}/apps/$id.png"
  file "$png" | grep -q "PNG image data, $size x $size" || fail "$png is not a $size x $size PNG"
done

echo "desktop-file-validate"
desktop-file-validate "$tmp/root/usr/share/applications/$id.desktop"
echo "appstreamcli validate"
appstreamcli validate --no-net "$tmp/root/usr/share/metainfo/$id.metainfo.xml"
echo "lintian"
lintian --fail-on error,warning --show-overrides "$deb"

echo "starting the unpacked console offscreen"
mkdir -m 700 "$tmp/home" "$tmp/run"
status=0
HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/.config" XDG_RUNTIME_DIR="$tmp/run" QT_QPA_PLATFORM=offscreen \
  timeout -s TERM 5 "$tmp/root/usr/bin/quorvane" >"$tmp/console.out" 2>&1 || status=$?
# 124: still running after 5 s and ended by SIGTERM, which is how this program is told to go.
[ "$status" -eq 124 ] || { cat "$tmp/console.out" >&2; fail "the console ended with status $status before it was told to"; }
[ ! -s "$tmp/console.out" ] || { cat "$tmp/console.out" >&2; fail "the console printed the above"; }

echo "asking the unpacked programs their version, without a display"
for program in quorvane quorvane-cli; do
  got=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$tmp/root/usr/bin/$program" --version) \
    || fail "$program --version failed"
  [ "$got" = "$program $version" ] || fail "$program --version said: $got"
done

echo "starting the unpacked simulator"
status=0
timeout -s TERM 2 "$tmp/root/usr/bin/quorvane-drivesim" >"$tmp/sim.out" 2>&1 || status=$?
[ "$status" -eq 124 ] || { cat "$tmp/sim.out" >&2; fail "the simulator ended with status $status before it was told to"; }
grep -qx '/dev/pts/[0-9]*' "$tmp/sim.out" || { cat "$tmp/sim.out" >&2; fail "the simulator printed no device"; }
"$tmp/root/usr/bin/quorvane-drivesim" --help | grep -qxF "  $tmp/root/usr/share/quorvane/samples/drivesim-sample.amx" \
  || fail "the simulator's --help does not name the installed sample update file"

echo "installing the package as a user would, without recommended packages, and starting it under Xvfb"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
was_installed=$(dpkg-query -W -f='${Status}' quorvane 2>/dev/null | grep -c "install ok installed" || true)
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
status=0
HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/home/.config" XDG_RUNTIME_DIR="$tmp/run" \
  xvfb-run -a -s "-screen 0 1280x1024x24" sh -c 'timeout -s TERM 5 /usr/bin/quorvane; echo $? >"$1"' sh "$tmp/x.status" \
  >"$tmp/x.out" 2>&1 || true
status=$(cat "$tmp/x.status" 2>/dev/null || echo none)
[ "$was_installed" -gt 0 ] || DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq quorvane >/dev/null
[ "$status" = 124 ] || { cat "$tmp/x.out" >&2; fail "the installed console ended with status $status under Xvfb before it was told to"; }

echo "package check passed: $deb"
