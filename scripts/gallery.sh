#!/usr/bin/env bash
# Takes the pictures of the tool windows for the README's gallery: the
# window tests named Gallery (the WIM windows) and ToolLaunchers (the other
# side-bar windows) run on a virtual X display (Xvfb) and write one PNG per
# window into FOLDER:
#   scripts/gallery.sh [FOLDER]     (default: docs)
# Needs xvfb-run (xvfb, xauth). For developers: nothing in the tests
# depends on the pictures.
set -euo pipefail
folder="$(realpath -m "${1:-docs}")"
command -v xvfb-run >/dev/null || { echo "$0: xvfb-run is missing (apt-get install xvfb xauth)" >&2; exit 1; }
cd "$(dirname "$0")/.."

build_dir="${TARNOVELL_BUILD_DIR:-build}"
cmake -S . -B "$build_dir" -G Ninja >/dev/null
cmake --build "$build_dir" --target tools_tests main_tests >/dev/null
mkdir -p "$folder"

export TARNOVELL_GALLERY_DIR="$folder" QT_QPA_PLATFORM=xcb
xvfb-run -a -s '-screen 0 1280x900x24' "$build_dir/tests/tools_tests" --gtest_filter='Gallery.*' --gtest_brief=1
xvfb-run -a -s '-screen 0 1280x900x24' "$build_dir/tests/main_tests" --gtest_filter='ToolLaunchers.*' --gtest_brief=1
ls "$folder"/*.png
