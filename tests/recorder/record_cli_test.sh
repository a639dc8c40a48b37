#!/usr/bin/env bash
# imabox record on the test ALSA configurations: the recorded file, its conversion, the message
# and status when there is no capture device, and a stop by SIGINT.
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

# SIGINT ends the recording cleanly. The device here delivers faster than real time, so the
# limit keeps the file small if the signal comes late; either way the file must be whole.
ALSA_CONFIG_PATH="$alsa/capture-file.conf" "$imabox" record "$work/sig.wav" --seconds 200 \
  >"$work/out" 2>"$work/err" &
pid=$!
for _ in $(seq 100); do
  grep -q "Recording" "$work/err" 2>/dev/null && break
  sleep 0.05
done
kill -INT "$pid" 2>/dev/null || true
status=0
wait "$pid" || status=$?
[ "$status" -eq 0 ] || fail "status $status after SIGINT"
seconds=$(sed -n 's/^Recorded \([0-9]*\) seconds\{0,1\} into .*/\1/p' "$work/out")
[ -n "$seconds" ] || fail "summary: $(cat "$work/out")"
[ "$(stat -c %s "$work/sig.wav")" -eq $((44 + seconds * 16000)) ] || fail "size after SIGINT"
echo "ok"
