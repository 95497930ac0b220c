#!/usr/bin/env bash
# The demonstration run by ./dev demo. Argument: the build directory.
set -uo pipefail
build=${1:-build}
ostreld="$build/src/front/ostreld"

step() { printf '\n--- %s\n$ %s\n' "$1" "${*:2}"; "${@:2}"; echo "(exit status $?)"; }

step "The daemon's usage text (no arguments, no ostrel.args here)" \
  sh -c "cd \"\$(mktemp -d)\" && \"$PWD/$ostreld\""
step "A bad option ends with a logged error; E_INVAL is exit status 250" "$ostreld" -x
