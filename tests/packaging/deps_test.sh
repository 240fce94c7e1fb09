#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The set-up's package choice, simulated with apt against made-up machines: whatever it picks for
# the tests must install without removing anything, and a PipeWire desktop keeps its sound.
#   deps_test.sh TOOLS/deps.sh
set -eu
DEPS=$1
SCRATCH=$(mktemp -d)
trap 'rm -rf "$SCRATCH"' EXIT

if ! apt-cache show pipewire-audio >/dev/null 2>&1; then
  echo "SKIP: apt has no package lists to simulate with (run apt-get update)"
  exit 77
fi

fail() { echo "FAIL: $*"; exit 1; }

# A dpkg status file for a machine that has exactly $2 and, where apt is to simulate on it ($3 =
# yes), what apt would install with it; otherwise the packages alone, enough for the choice.
machine() {
  status=$SCRATCH/$1
  : >"$SCRATCH/empty"
  if [ -z "$2" ]; then
    : >"$status"
  elif [ "$3" = yes ]; then
    # shellcheck disable=SC2086
    apt-get -s -o Dir::State::status="$SCRATCH/empty" install --no-install-recommends $2 \
      2>/dev/null | awk '/^Inst /{print $2}' >"$SCRATCH/$1.list"
    # shellcheck disable=SC2046
    apt-cache show --no-all-versions $(cat "$SCRATCH/$1.list") |
      awk '/^Package: /{print; print "Status: install ok installed"; next} {print}' >"$status"
  else
    for p in $2; do printf 'Package: %s\nStatus: install ok installed\n\n' "$p"; done >"$status"
  fi
}

simulate() {
  apt-get -s -o Dir::State::status="$1" install --no-install-recommends $2 2>&1
}

# name, what the machine has, the servers the tests must get there, whether apt simulates the
# whole installation there (each apt run takes seconds: only where the choice differs in kind).
while read -r name has servers whole; do
  has=$(echo "$has" | tr , ' ')
  [ "$has" = - ] && has=
  machine "$name" "$has" "$whole"
  status=$SCRATCH/$name
  chosen=$(BITONER_DPKG_STATUS=$status "$DEPS" list test | tr '\n' ' ')
  for server in pulseaudio pipewire-pulse; do
    case " $chosen " in *" $server "*) got=yes ;; *) got=no ;; esac
    case ",$servers," in *",$server,"*) want=yes ;; *) want=no ;; esac
    [ "$got" = "$want" ] || fail "$name: $server chosen: $got, expected $want"
  done
  if [ "$whole" = yes ]; then
    plan=$(simulate "$status" "$chosen") || fail "$name: apt refuses the test packages: $plan"
    if printf '%s\n' "$plan" | grep '^Remv '; then fail "$name: the test packages remove the above"; fi
  fi
  run=$(BITONER_DPKG_STATUS=$status "$DEPS" list run | tr '\n' ' ')
  case " $run " in *" pulseaudio "* | *" pipewire-pulse "* | *" pipewire "*)
    fail "$name: running installs a sound server: $run" ;;
  esac
  echo "ok: $name: $chosen"
done <<'MACHINES'
pipewire-desktop pipewire-audio pipewire-pulse yes
pulseaudio-desktop pulseaudio pulseaudio no
no-sound-server - pulseaudio,pipewire-pulse yes
MACHINES

# The simulated PipeWire desktop is real enough for apt to see the conflict the choice avoids.
simulate "$SCRATCH/pipewire-desktop" pulseaudio | grep -q '^Remv pipewire-audio' ||
  fail "the simulated PipeWire desktop would not lose pipewire-audio to pulseaudio"
echo "ok: pulseaudio would remove pipewire-audio there"
