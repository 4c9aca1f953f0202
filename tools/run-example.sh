#!/usr/bin/env bash
# The main road, as the README runs it: starts the bundled printer emulator as
# a process of its own on a loopback address, runs the print-receipt example
# against it, shows the print result and what the printer made of the job,
# and stops the emulator. Exits with the example's status (non-zero also when
# the emulator cannot start or saw no receipt).
#
#   tools/run-example.sh [build dir] [address]     # defaults: build 127.0.0.250
set -u
cd "$(dirname "$0")/.."
build=${1:-build}
address=${2:-127.0.0.250}
emulator=$build/tools/printer-emulator/printer-emulator
example=$build/examples/print-receipt
for program in "$emulator" "$example"; do
  [ -x "$program" ] || { echo "run-example: $program is not built" >&2; exit 1; }
done

work=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# Another run on this machine may still hold the address's ports: the
# emulator is started again until it binds (up to two minutes).
start_emulator() {
  "$emulator" --address "$address" --log "$work/printer.log" >/dev/null 2>"$work/emulator.err" &
  pid=$!
}
start_emulator
for _ in $(seq 1200); do
  grep -q '^printer-emulator on ' "$work/printer.log" 2>/dev/null && break
  if ! kill -0 "$pid" 2>/dev/null; then
    wait "$pid" 2>/dev/null
    sleep 0.1
    start_emulator
    continue
  fi
  sleep 0.1
done
if ! grep -q '^printer-emulator on ' "$work/printer.log" 2>/dev/null; then
  echo "run-example: the printer emulator did not start on $address:" >&2
  cat "$work/emulator.err" >&2
  exit 1
fi

echo "=== print-receipt $address"
"$example" "$address"
status=$?

# The emulator writes its account every 100 ms: wait until the job's end is in it.
for _ in $(seq 100); do
  grep -q -- '-> job end' "$work/printer.log" && break
  sleep 0.1
done
kill "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
pid=

echo "=== what the printer emulator received"
# The receipt from its first command on; the connection's own queries before
# it are left out. Each transcript line starts with its time (HH:MM:SS.mmm);
# the job rule has none.
sed -n '/^---- job ----$/,$p' "$work/printer.log"
if ! grep -Eq '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[cut\]$' "$work/printer.log"; then
  echo "run-example: the printer received no whole receipt" >&2
  [ "$status" -eq 0 ] && status=1
fi
exit "$status"
