#!/usr/bin/env bash
# A console session against the virtual printer: starts kp28sim in a fresh fake
# sysroot and runs the firmware updater's three jobs on it (reboot, USB
# identifier, firmware load from a file path), then switches the printer into
# setup mode and reads its NVM with kp28setup, showing what a technician sees.
set -euo pipefail

build=${1:-build}
build=$(cd "$build" && pwd)
sim="$build/bin/kp28sim"
updater="$build/bin/Kp28FWUpdate"
setup="$build/bin/kp28setup"
for exe in "$sim" "$updater" "$setup"; do
  [ -x "$exe" ] || { echo "demo: $exe is missing; build first (make build)" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/kp28demo.XXXXXX")
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
    kill -TERM "$sim_pid" 2>/dev/null || true
    wait "$sim_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== Starting the virtual printer"
"$sim" --sysroot "$work/root" --tcp 0 --downtime 3000 --transcript "$work/transcript.txt" \
  </dev/null >"$work/sim.out" 2>&1 &
sim_pid=$!
for _ in $(seq 1 100); do
  grep -q "powered on" "$work/sim.out" 2>/dev/null && break
  kill -0 "$sim_pid" 2>/dev/null || { cat "$work/sim.out"; echo "demo: kp28sim did not start" >&2; exit 1; }
  sleep 0.1
done
grep -q "powered on" "$work/sim.out" || { cat "$work/sim.out"; echo "demo: kp28sim did not start within 10 s" >&2; exit 1; }
cat "$work/sim.out"
export KP28_SYSROOT="$work/root"

mkdir -p "$work/bench"
cd "$work/bench"
cat > KP28FWUpdate.ini <<'INI'
[GENERAL]
Verbose=Y
LogFile=kp28fwupdate.log
[FIRMWARE_DOWNLOAD]
DefaultProtocol=SHARE
[USB_IDENTIFIRE]
DefaultUsbId=
INI

# A firmware image as the printer takes it: a 256-byte header ending in the
# header magic, followed by a gzip member (with its file name stored) of an ELF
# program that carries the version string the printer will report.
python3 - "$work/firmware.img" /bin/ls <<'PY'
import gzip, io, struct, sys
out, elf_path = sys.argv[1], sys.argv[2]
elf = open(elf_path, "rb").read() + b"KP28FW:1.01A"
buf = io.BytesIO()
with gzip.GzipFile(filename="kp28fw.elf", mode="wb", fileobj=buf, compresslevel=9, mtime=0) as gz:
    gz.write(elf)
header = b"KP28Plus demo firmware".ljust(252, b"\0") + struct.pack("<I", 0x09892887)
open(out, "wb").write(header + buf.getvalue())
PY

run() {
  echo
  echo "== Kp28FWUpdate $*"
  set +e
  "$updater" "$@"
  local rc=$?
  set -e
  echo "(exit code $rc)"
}

run -r
run -uid "BENCH-$(date +%H%M%S)"
run -url "$work/firmware.img"

echo
echo "== Log file kp28fwupdate.log"
cat kp28fwupdate.log
# The operator's part of entering setup mode: power on with ON_LINE held.
echo
echo "== Printer switched on with ON_LINE held"
kill -USR1 "$sim_pid"
for _ in $(seq 1 100); do
  grep -q "back up in setup mode" "$work/sim.out" && break
  sleep 0.1
done
grep -q "back up in setup mode" "$work/sim.out" || { echo "demo: the printer did not enter setup mode within 10 s" >&2; exit 1; }

echo
echo "== kp28setup interfaces"
"$setup" interfaces
echo
echo "== kp28setup read -i COM1 --yes --save setup.dmp"
set +e
"$setup" read -i COM1 --yes --save setup.dmp
echo "(exit code $?)"
set -e
ls -l setup.dmp 2>/dev/null || true

echo
echo "== Virtual printer"
sed -n '/powered on in normal mode/,$p' "$work/sim.out" | tail -n 24
