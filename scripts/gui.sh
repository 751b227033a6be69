#!/usr/bin/env bash
# The setup tool's window against the virtual printer: starts kp28sim in a
# fresh fake sysroot with a serial port, a USB node, a parallel port and a TCP
# port, opens KP28Plus_Remote_Setup_Tool on it, and passes what is typed here
# to the printer ("setup": switched on with ON_LINE held, "power": switched off
# and on) until the window is closed.
set -euo pipefail

build=${1:-build}
build=$(cd "$build" && pwd)
sim="$build/bin/kp28sim"
gui="$build/bin/KP28Plus_Remote_Setup_Tool"
for exe in "$sim" "$gui"; do
  [ -x "$exe" ] || { echo "gui: $exe is missing; build first (make build)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kp28gui.XXXXXX")
sim_pid=
gui_pid=
cleanup() {
  exec 3>&- 2>/dev/null || true
  for pid in "$gui_pid" "$sim_pid"; do
    if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
      kill -TERM "$pid" 2>/dev/null || true
      wait "$pid" 2>/dev/null || true
    fi
  done
  rm -rf "$work"
}
trap cleanup EXIT

# The printer reads its console commands from a pipe that this script feeds.
mkfifo "$work/sim.in"
start_sim() {
  "$sim" --sysroot "$work/root" --tcp "$1" --downtime 3000 <"$work/sim.in" >"$work/sim.out" 2>&1 &
  sim_pid=$!
  exec 3>"$work/sim.in"
  for _ in $(seq 1 100); do
    grep -q "powered on" "$work/sim.out" 2>/dev/null && return 0
    kill -0 "$sim_pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}
# "Send  Setup" over the network always goes to port 9100; when another
# program holds it, the printer takes any free port and that link is off.
if ! start_sim 9100; then
  exec 3>&- 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  echo "gui: TCP port 9100 is taken; the printer listens on another port (LAN sends will not reach it)"
  start_sim 0 || { cat "$work/sim.out"; echo "gui: kp28sim did not start" >&2; exit 1; }
fi
cat "$work/sim.out"

# The setup tool finds the updater and the USB library of this build; its
# files (modules.txt, setup files) go to build/run, which is kept.
export KP28_SYSROOT="$work/root"
export KP28FWUPDATE="$build/bin/Kp28FWUpdate"
lib=$(find "$build" -name 'libkp28wrap.so.1' -print -quit 2>/dev/null || true)
[ -n "$lib" ] && export KP28WRAP_LIBRARY="$lib"
mkdir -p "$build/run"
(cd "$build/run" && exec "$gui") &
gui_pid=$!

cat <<'TXT'

The window is open; the printer is on in normal mode. Type here:
  setup   switch the printer on with ON_LINE held (setup mode), for Read NVM
  power   switch it off and on (normal mode), for Reboot, Load FW, USB ID
  quit    close the window and stop the printer
TXT
seen=$(wc -l <"$work/sim.out")
typing=1
while kill -0 "$gui_pid" 2>/dev/null; do
  if [ $typing -eq 0 ]; then
    sleep 1
  elif read -r -t 1 line; then
    case "$line" in
      quit) break ;;
      setup | power) echo "$line" >&3 ;;
      "") ;;
      *) echo "(setup, power or quit)" ;;
    esac
  elif [ $? -le 128 ]; then
    typing=0 # end of input: the window alone decides when this ends
  fi
  now=$(wc -l <"$work/sim.out")
  if [ "$now" -gt "$seen" ]; then
    sed -n "$((seen + 1)),${now}p" "$work/sim.out"
    seen=$now
  fi
done
