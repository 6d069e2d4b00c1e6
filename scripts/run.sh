#!/usr/bin/env bash
# Sets up, builds and starts the console attached to the drive simulator.
#
# The simulator serves a pseudo-terminal; COM1 is mapped to it in a private settings folder
# (build/run-settings), so the user's own settings are never touched. Options after the script's
# name go to the simulator, e.g. scripts/run.sh --drives 1,2 --instant
#
# Against a real drive, start build/quorvane directly: it uses the user's own settings, where
# COM<n> is the platform's port (see README).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
build="${QUORVANE_BUILD:-$root/build}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target quorvane quorvane-drivesim

settings="$build/run-settings"
link="$settings/drive-sim"
mkdir -p "$settings/Kestrelworks"

"$build/sim/quorvane-drivesim" --link "$link" "$@" &
sim=$!
trap 'kill $sim 2>/dev/null; wait $sim 2>/dev/null || true' EXIT
for _ in $(seq 100); do [ -e "$link" ] && break; sleep 0.05; done

# Map COM1 to the simulator, keeping whatever else the private store holds.
conf="$settings/Kestrelworks/Kestrelworks.conf"
touch "$conf"
python3 - "$conf" "$link" <<'PY' 2>/dev/null || printf '[Ports]\nCOM1=%s\n' "$2" >> "$conf"
import configparser, sys
path, link = sys.argv[1], sys.argv[2]
c = configparser.RawConfigParser()
c.optionxform = str
c.read(path)
if not c.has_section("Ports"):
    c.add_section("Ports")
c.set("Ports", "COM1", link)
with open(path, "w") as f:
    c.write(f, space_around_delimiters=False)
PY

echo "Drive simulator on $(readlink "$link"), mapped to COM1 (settings in $settings)"
XDG_CONFIG_HOME="$settings" "$build/quorvane"
