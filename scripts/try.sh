#!/bin/sh
# SPDX-License-Identifier: GPL-2.0-or-later
# Sets up, builds, and shows ravelins and ravelin working against the simulated card.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup-debian.sh"
b="$top/build"
echo "Building in $b (the first build takes a few minutes)..."
mkdir -p "$b"
if ! "$top/scripts/build.sh" x86-64 >"$b/try-build.log" 2>&1; then
  tail -n 30 "$b/try-build.log"
  echo "Build failed; the whole log is in $b/try-build.log" >&2
  exit 1
fi
state="$b/demo-card"
export PATH="$b/sim:$b/cli:$b/gui:$PATH"

show() {
  echo
  echo "\$ $*"
  "$@" || true
}

cardsim --state "$state" --reset >/dev/null
show cardsim --state "$state" -- ravelins -i
show cardsim --state "$state" -- ravelins -N
show cardsim --state "$state" -- ravelins -M 3
show cardsim --state "$state" -- ravelins -c
show cardsim --state "$state" -- ravelins -p 0 -l 41 -H 1280 -V 720 -B 5000 -F 30
show cardsim --state "$state" -- ravelins -c
show cardsim --state "$state" --show

if [ -x "$b/gui/ravelin" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  # ravelin looks for its detection file "log2" in its working folder.
  work=$(mktemp -d)
  printf '00Capture\n' > "$work/log2"
  echo
  echo "\$ (cd $work && cardsim --state $state -- ravelin)"
  (cd "$work" && cardsim --state "$state" -- ravelin) || true
else
  echo
  echo "No display here: to open the window, run on a desktop:"
  printf '  %s\n' "cd \$(mktemp -d) && printf '00Capture\\n' > log2 && $b/sim/cardsim --state $state -- $b/gui/ravelin"
fi
