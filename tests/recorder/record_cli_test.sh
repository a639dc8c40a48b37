#!/usr/bin/env bash
# imabox record on the test ALSA configurations: the recorded file, its conversion, the message
# and status when there is no capture device, and stops by SIGINT and SIGTERM.
# Usage: record_cli_test.sh IMABOX ALSA_TEST_DIR
set -euo pipefail
imabox=$1
alsa=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

# --seconds N gives exactly N seconds: the start of the raw input.
ALSA_CONFIG_PATH="$alsa/capture-file.conf" "$imabox" record "$work/two.wav" --seconds 2 \
  >"$work/out" 2>"$work/err" || fail "record exited with $?"
grep -qx "Recorded 2 seconds into $work/two.wav" "$work/out" || fail "summary: $(cat "$work/out")"
grep -q ": 2 s" "$work/err" || fail "no progress shown: $(cat "$work/err")"
[ "$(stat -c %s "$work/two.wav")" -eq 32044 ] || fail "size $(stat -c %s "$work/two.wav")"
cmp <(tail -c +45 "$work/two.wav") <(head -c 32000 "$alsa/capture-input.raw") ||
  fail "data differ from the input"

"$imabox" convert "$work/two.wav" "$work/two.xbox.wav" >/dev/null || fail "convert failed"
"$imabox" info "$work/two.xbox.wav" | grep -q "Xbox ADPCM" || fail "not Xbox ADPCM"

# No capture device: a message, status 1, no ALSA chatter, and a valid empty file.
status=0
ALSA_CONFIG_PATH="$alsa/no-capture.conf" "$imabox" record "$work/none.wav" \
  >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "status $status without a device"
grep -q "cannot open the audio input device" "$work/err" || fail "message: $(cat "$work/err")"
! grep -q "ALSA lib" "$work/err" || fail "ALSA diagnostics reached stderr"
[ "$(stat -c %s "$work/none.wav")" -eq 44 ] || fail "empty recording is not 44 bytes"

# A file that cannot be created.
status=0
ALSA_CONFIG_PATH="$alsa/capture-file.conf" "$imabox" record "$work/missing/x.wav" \
  >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "status $status for an unwritable path"
grep -q "cannot create" "$work/err" || fail "message: $(cat "$work/err")"

# SIGINT and SIGTERM end a recording cleanly. Here the file plugin reads its input from a pipe
# that this script fills at the rate of real time, so the recorder runs as on a real device.
mkfifo "$work/pipe"
sed "s|infile \".*\"|infile \"$work/pipe\"|" "$alsa/capture-file.conf" >"$work/pipe.conf"
exec 3<>"$work/pipe"
# Bounded, so that it cannot outlive an aborted run by long.
(for _ in $(seq 240); do head -c 4000 "$alsa/capture-input.raw"; sleep 0.25; done) >&3 &
writer=$!
trap 'kill $writer 2>/dev/null; rm -rf "$work"' EXIT
for signal in INT TERM; do
  rm -f "$work/sig.wav" "$work/err"
  ALSA_CONFIG_PATH="$work/pipe.conf" timeout 30 "$imabox" record "$work/sig.wav" \
    >"$work/out" 2>"$work/err" &
  pid=$!
  for _ in $(seq 200); do
    grep -q ": 2 s" "$work/err" 2>/dev/null && break
    sleep 0.05
  done
  kill -"$signal" "$pid"
  status=0
  wait "$pid" || status=$?
  [ "$status" -eq 0 ] || fail "status $status after SIG$signal"
  seconds=$(sed -n 's/^Recorded \([0-9]*\) seconds\{0,1\} into .*/\1/p' "$work/out")
  [ -n "$seconds" ] || fail "summary after SIG$signal: $(cat "$work/out")"
  [ "$seconds" -ge 2 ] && [ "$seconds" -le 4 ] || fail "$seconds s after SIG$signal"
  [ "$(stat -c %s "$work/sig.wav")" -eq $((44 + seconds * 16000)) ] ||
    fail "size after SIG$signal"
  "$imabox" info "$work/sig.wav" >/dev/null || fail "unreadable after SIG$signal"
done
echo "ok"
