#!/usr/bin/env bash
# Takes a picture of the main window over the demo machine of image files:
#   scripts/screenshot.sh OUTPUT.png
# or of a tool window opened from its side bar (parteditor, createpart, convert):
#   scripts/screenshot.sh OUTPUT.png WINDOW
# Needs xvfb-run (xvfb, xauth) and import (imagemagick). For developers: the
# picture goes into the docs; nothing in the tests depends on it.
set -euo pipefail
if [ $# -lt 1 ] || [ $# -gt 2 ]; then
  echo "usage: $0 OUTPUT.png [WINDOW]" >&2
  exit 2
fi
# A tool window paints itself into the picture; the main window is taken by import.
tools="xvfb-run"
[ $# -eq 1 ] && tools="$tools import"
for tool in $tools; do
  command -v "$tool" >/dev/null || { echo "$0: $tool is missing (apt-get install xvfb xauth imagemagick)" >&2; exit 1; }
done
output="$(realpath -m "$1")"
cd "$(dirname "$0")/.."

build_dir="${TARNOVELL_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -G Ninja >/dev/null

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
scripts/demo-host.sh "$scratch/demo" >/dev/null
export TARNOVELL_HOST="$scratch/demo/machine.ini"

if [ $# -eq 2 ]; then
  # The tool window paints itself into the file once it has opened.
  cmake --build "$build_dir" --target window_gallery >/dev/null
  gallery="$(realpath "$build_dir/tests/window_gallery")"
  xvfb-run -a -s '-screen 0 1280x900x24' "$gallery" "$2" "$output" </dev/null >/dev/null
  echo "$output"
  exit 0
fi

cmake --build "$build_dir" --target tarnovell >/dev/null
program="$(realpath "$build_dir/main/tarnovell")"

# The program runs until it is ended; the picture is taken once it has had
# time to fill its list and paint.
export PROGRAM="$program" OUTPUT="$output"
xvfb-run -a -s '-screen 0 1280x900x24' sh -c '
  "$PROGRAM" </dev/null >/dev/null 2>&1 &
  pid=$!
  sleep "${TARNOVELL_SCREENSHOT_DELAY:-3}"
  if ! kill -0 "$pid" 2>/dev/null; then echo "the program ended before the picture was taken" >&2; exit 1; fi
  import -window root -trim +repage "$OUTPUT"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
'
echo "$output"
