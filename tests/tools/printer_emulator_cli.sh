#!/bin/bash
# The printer emulator as a person runs it: --help, --version, a refused
# option, and one job sent by a plain TCP client with the decoded transcript
# written to --log. Usage: printer_emulator_cli.sh <printer-emulator binary>
set -u
emulator=$1
address=127.0.0.246
work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*" >&2; [ -f "$work/log" ] && sed 's/^/  log: /' "$work/log" >&2; exit 1; }

# Waits up to 30 s for the file to hold the text.
wait_for() {
  for _ in $(seq 300); do
    grep -qF -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

"$emulator" --help >"$work/help" || fail "--help exits non-zero"
grep -q '^usage: printer-emulator --address' "$work/help" || fail "--help has no usage line"
grep -q -- '--no-clear-ack' "$work/help" || fail "--help does not list the fault switches"
"$emulator" --version | grep -Eq '^printer-emulator [0-9]+\.[0-9]+\.[0-9]+$' || fail "--version"
"$emulator" --address "$address" --bogus 2>"$work/err"
[ $? -eq 2 ] || fail "an unknown option does not exit 2"
grep -q 'unknown or incomplete option --bogus' "$work/err" || fail "no message for --bogus"
"$emulator" 2>/dev/null
[ $? -eq 2 ] || fail "a missing --address does not exit 2"

"$emulator" --address "$address" --log "$work/log" >"$work/out" 2>&1 &
pid=$!
# Another test run on this machine may hold the address's ports for a while.
for _ in $(seq 1200); do
  (exec 3<>"/dev/tcp/$address/9100") 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || { "$emulator" --address "$address" --log "$work/log" >"$work/out" 2>&1 & pid=$!; }
  sleep 0.1
done

# ESC @, centred bold "Crème brûlée" in code table 0 (PC437), a cut, and the
# job-end request for id "0001".
exec 3<>"/dev/tcp/$address/9100" || fail "cannot connect to $address:9100"
printf '\x1b\x40\x1b\x61\x01\x1b\x45\x01Cr\x8ame br\x96l\x82e\n\x1d\x56\x00\x1d\x28\x48\x06\x00\x30\x30\x30\x30\x30\x31' >&3
wait_for "$work/log" '37 22 30 30 30 31 00' || fail "no job end answered in the transcript"
exec 3>&-
for want in '[centre]' '[bold]' 'Crème brûlée' '[cut]'; do
  grep -qF -- "$want" "$work/log" || fail "transcript lacks $want"
done
grep -qF -- 'Cr\x8A' "$work/log" && fail "text not decoded from the code table"
# Every transcript line comes behind its time; the connection is a line too.
grep -Eq '^[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3} \[cut\]$' "$work/log" || fail "no timed [cut] line"
grep -Eq '^[0-9:.]{12} \[connected 127\.0\.0\.1:[0-9]+\]$' "$work/log" || fail "no connection line"
kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
pid=

# A hybrid printer nobody stands at: the slip goes in at once, a MICR read
# reads its text, and the display gets its line. Its own address (127.0.1.157).
hybrid=127.0.1.157
"$emulator" --address "$hybrid" --profile hybrid --micr-error K 2>"$work/err"
[ $? -eq 2 ] || fail "a MICR error letter outside A..J does not exit 2"
: >"$work/log"
"$emulator" --address "$hybrid" --profile hybrid --auto-insert --micr-text 'T12T' \
  --log "$work/log" >"$work/out" 2>&1 &
pid=$!
for _ in $(seq 1200); do
  (exec 3<>"/dev/tcp/$hybrid/9100") 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || {
    "$emulator" --address "$hybrid" --profile hybrid --auto-insert --micr-text 'T12T' \
      --log "$work/log" >"$work/out" 2>&1 &
    pid=$!
  }
  sleep 0.1
done
exec 3<>"/dev/tcp/$hybrid/9100" || fail "cannot connect to $hybrid:9100"
prologue='\x1b\x3d\x01\x1b\x40\x1d\x61\xff\x1c\x28\x65\x02\x00\x33\xff'
printf "$prologue"'\x1b\x66\x00\x05\x1d\x28\x47\x02\x00\x30\x04\x1d\x28\x47\x02\x00\x54\x01\x1b\x63\x31\x04' >&3
wait_for "$work/log" '[slip inserted]' || fail "the slip was not inserted"
printf '\x1b\x3d\x01\x0c' >&3
wait_for "$work/log" '[eject]' || fail "no eject in the transcript"
printf "$prologue"'\x1b\x63\x31\x04\x1b\x66\x00\x05\x1c\x28\x66\x06\x00\x01\x01\x03\x01\x04\x01\x1c\x61\x30\x00' >&3
wait_for "$work/log" '-> MICR text "T12T"' || fail "no MICR text in the transcript"
printf '\x1b\x3d\x02Total 9.99\x1b\x3d\x01' >&3
wait_for "$work/log" 'display: Total 9.99' || fail "no display line in the transcript"
exec 3>&-
for want in '[slip insertion]' '[MICR read]'; do
  grep -qF -- "$want" "$work/log" || fail "transcript lacks $want"
done
kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
pid=

# Switches while it runs: commands on stdin, which then ends (the program runs
# on), and on the control socket. Its own address (127.0.9.33).
control=127.0.9.33
: >"$work/log"
start_controlled() {
  printf 'cover open\nstatus\n' |
    "$emulator" --address "$control" --control 9101 --log "$work/log" >"$work/out" 2>&1 &
  pid=$!
}
start_controlled
for _ in $(seq 1200); do
  (exec 4<>"/dev/tcp/$control/9101") 2>/dev/null && break
  kill -0 "$pid" 2>/dev/null || start_controlled
  sleep 0.1
done
wait_for "$work/out" 'power=on cover=open paper=ok' || fail "no status answer to stdin"
kill -0 "$pid" 2>/dev/null || fail "the end of stdin stopped the emulator"
exec 4<>"/dev/tcp/$control/9101" || fail "cannot connect to the control socket"
ask() {
  printf '%s\n' "$1" >&4
  answer=
  IFS= read -r -t 10 answer <&4
}
ask 'paper end' && [ "$answer" = ok ] || fail "paper end: $answer"
ask status && [[ "$answer" == *' paper=end '* ]] || fail "status after paper end: $answer"
ask bogus && [ "$answer" = 'error: unknown command "bogus" (try help)' ] || fail "bogus: $answer"
ask 'power off' && [ "$answer" = ok ] || fail "power off: $answer"
(exec 3<>"/dev/tcp/$control/9100") 2>/dev/null && fail "a switched-off printer took a connection"
ask 'power on' && [ "$answer" = ok ] || fail "power on: $answer"
exec 3<>"/dev/tcp/$control/9100" || fail "no connection after power on"
exec 3>&- 4>&-
wait_for "$work/log" '[power on]' || fail "no [power on] line"
grep -Eq '^[0-9:.]{12} \[control\] paper end: ok$' "$work/log" || fail "control command not logged"
grep -Eq '^[0-9:.]{12} \[control\] cover open: ok$' "$work/log" || fail "stdin command not logged"
echo "printer emulator CLI: ok"
