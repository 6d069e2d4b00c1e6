#!/usr/bin/env bash
# Renders the icon's PNGs from quorvane.svg (rsvg-convert, Debian package librsvg2-bin).
# The PNGs are kept beside the SVG: the program's windows carry them, and the package installs
# them into the hicolor theme. Run this after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" quorvane.svg -o "quorvane-$size.png"
done
