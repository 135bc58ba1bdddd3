#!/usr/bin/env bash
# Renders the committed 48x48 PNG icon from quenzor.svg. Run it after changing the drawing and
# commit the result; the build itself needs no renderer.
# Needs rsvg-convert (Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
rsvg-convert --width 48 --height 48 --format png quenzor.svg -o quenzor-48.png
