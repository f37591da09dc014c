#!/usr/bin/env bash
# The first start: installs what Tarnovell needs and builds it
# (bootstrap.sh), makes the demo machine of image files in demo/
# (demo-host.sh), then starts the program on it: the main window where a
# display can show it, otherwise a short run of the command line on the demo
# disks (list, clone, back up, restore), each command printed as it runs.
# No real disk is touched; without TARNOVELL_HOST the program works on the
# machine's own disks as always.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/bootstrap.sh
folder=demo
bash scripts/demo-host.sh "$folder" >/dev/null
export TARNOVELL_HOST="$PWD/$folder/machine.ini"
program="${TARNOVELL_BUILD_DIR:-build}/main/tarnovell"
echo "The demo machine: TARNOVELL_HOST=$TARNOVELL_HOST"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "Starting the main window (close it to end)"
  log=$(mktemp)
  trap 'rm -f "$log"' EXIT
  status=0
  "$program" 2>"$log" || status=$?
  # The program itself tells when the display cannot be reached.
  if ! grep -q "^no display available" "$log"; then
    cat "$log" >&2
    exit "$status"
  fi
  echo "The display cannot be reached: the command line instead."
fi

# One command: printed as typed (device paths quoted), then run.
run() {
  printf '\n$ tarnovell'
  for argument in "$@"; do
    case $argument in
      *\\* | *" "*) printf " '%s'" "$argument" ;;
      *) printf ' %s' "$argument" ;;
    esac
  done
  printf '\n'
  "$program" "$@"
}

run -list
run -disk '\\.\PhysicalDrive0' '\\.\PhysicalDrive2' -quiet
run -image -backup '\\.\PhysicalDrive0' "$folder/system.img" -quiet
run -image -restore "$folder/system.img" '\\.\PhysicalDrive2' -quiet
run -list
echo
echo "The same in the window: start $program with TARNOVELL_HOST set as above on a display."
