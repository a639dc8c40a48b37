#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# imabox record on the test ALSA configurations: the recorded file, its conversion, --xbox,
# --device and --list-devices, the message and status when there is no capture device (an
# existing file left alone), failed writes, stops by SIGINT and SIGTERM, and what SIGKILL leaves.
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

# The input level shows on a terminal only (script(1) gives the tool one).
! grep -q "dBFS" "$work/err" || fail "level shown without a terminal"
if command -v script >/dev/null; then
  ALSA_CONFIG_PATH="$alsa/capture-file.conf" script -qec \
    "'$imabox' record '$work/tty.wav' --seconds 1" /dev/null >"$work/tty" </dev/null ||
    fail "record on a terminal exited with $?"
  grep -qE "Recording .*: [01] s +(-inf|-?[0-9]+\.[0-9]) dBFS" "$work/tty" ||
    fail "no level on a terminal: $(cat "$work/tty")"
fi

# No capture device: a message, status 1, no ALSA chatter, and no file.
status=0
ALSA_CONFIG_PATH="$alsa/no-capture.conf" "$imabox" record "$work/none.wav" \
  >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "status $status without a device"
grep -q "cannot open the audio input device" "$work/err" || fail "message: $(cat "$work/err")"
! grep -q "ALSA lib" "$work/err" || fail "ALSA diagnostics reached stderr"
[ ! -e "$work/none.wav" ] || fail "a file was created without a device"

# No capture device leaves an existing OUT exactly as it was, and no temporary file behind.
head -c 5000 "$alsa/capture-input.raw" >"$work/keep.wav"
cp "$work/keep.wav" "$work/keep.orig"
status=0
ALSA_CONFIG_PATH="$alsa/no-capture.conf" "$imabox" record "$work/keep.wav" \
  >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "status $status without a device, over an existing file"
cmp -s "$work/keep.wav" "$work/keep.orig" || fail "the existing file was changed"
[ -z "$(find "$work" -name '.imabox-rec-*')" ] || fail "a temporary file was left"

# An unknown --device: a message naming it, status 1, OUT left alone.
status=0
ALSA_CONFIG_PATH="$alsa/capture-file.conf" "$imabox" record "$work/keep.wav" --device no_such_pcm \
  >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "status $status for an unknown device"
grep -q 'ERROR: .*"no_such_pcm"' "$work/err" || fail "message: $(cat "$work/err")"
cmp -s "$work/keep.wav" "$work/keep.orig" || fail "the existing file was changed"

# --device NAME records from that PCM and replaces OUT, keeping its mode; --list-devices lists it
# with its description.
chmod 600 "$work/keep.wav"
ALSA_CONFIG_PATH="$alsa/capture-file.conf" "$imabox" record "$work/keep.wav" --device imabox_test \
  --seconds 1 >"$work/out" 2>"$work/err" || fail "record --device exited with $?"
cmp <(tail -c +45 "$work/keep.wav") <(head -c 16000 "$alsa/capture-input.raw") ||
  fail "--device: data differ from the input"
[ "$(stat -c %a "$work/keep.wav")" = 600 ] || fail "mode $(stat -c %a "$work/keep.wav")"
ALSA_CONFIG_PATH="$alsa/capture-file.conf" "$imabox" record --list-devices >"$work/out" ||
  fail "--list-devices exited with $?"
grep -qE '^imabox_test +imabox test input$' "$work/out" || fail "list: $(cat "$work/out")"

# --xbox gives exactly what imabox convert gives for the same PCM recording.
ALSA_CONFIG_PATH="$alsa/capture-file.conf" "$imabox" record "$work/x.wav" --seconds 2 --xbox \
  >"$work/out" 2>"$work/err" || fail "record --xbox exited with $?"
grep -qx "Recorded 2 seconds into $work/x.wav" "$work/out" || fail "summary: $(cat "$work/out")"
"$imabox" convert "$work/two.wav" "$work/two.convert.wav" >/dev/null
cmp "$work/x.wav" "$work/two.convert.wav" || fail "--xbox differs from convert"
ALSA_CONFIG_PATH="$alsa/capture-file.conf" "$imabox" record "$work/xq.wav" --seconds 2 --xbox \
  --quality 3 >/dev/null 2>&1 || fail "record --xbox --quality exited with $?"
"$imabox" encode "$work/two.wav" -o "$work/two.q3.wav" --quality 3 --quiet >/dev/null 2>&1
cmp "$work/xq.wav" "$work/two.q3.wav" || fail "--xbox --quality 3 differs from encode --quality 3"

# Writes that fail (a file size limit, as a full disk) end the recording at once: one ERROR line,
# status 1, and the whole seconds before the failure in a valid file.
status=0
(ulimit -f 40 && trap '' XFSZ && ALSA_CONFIG_PATH="$alsa/capture-file.conf" \
  timeout 10 "$imabox" record "$work/limited.wav" --seconds 5) >"$work/out" 2>"$work/err" ||
  status=$?
[ "$status" -eq 1 ] || fail "status $status under a file size limit"
[ "$(grep -c '^ERROR:' "$work/err")" -eq 1 ] || fail "messages: $(cat "$work/err")"
grep -q "File too large" "$work/err" || fail "message: $(cat "$work/err")"
[ "$(stat -c %s "$work/limited.wav")" -eq 32044 ] || fail "size $(stat -c %s "$work/limited.wav")"
"$imabox" info "$work/limited.wav" >/dev/null || fail "unreadable after a failed write"

# A folder as OUT: a plain message, and nothing recorded.
status=0
ALSA_CONFIG_PATH="$alsa/capture-file.conf" "$imabox" record "$work" --seconds 1 \
  >"$work/out" 2>"$work/err" || status=$?
[ "$status" -eq 1 ] || fail "status $status for a folder"
grep -q "is a folder" "$work/err" || fail "message: $(cat "$work/err")"

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

# SIGKILL: no clean-up at all, yet the file holds its whole seconds with a header that says so.
rm -f "$work/killed.wav" "$work/err"
ALSA_CONFIG_PATH="$work/pipe.conf" "$imabox" record "$work/killed.wav" >/dev/null 2>"$work/err" &
pid=$!
for _ in $(seq 200); do
  grep -q ": 2 s" "$work/err" 2>/dev/null && break
  sleep 0.05
done
kill -KILL "$pid"
wait "$pid" 2>/dev/null || true
size=$(stat -c %s "$work/killed.wav")
[ $(((size - 44) % 16000)) -eq 0 ] && [ "$size" -ge 32044 ] || fail "size $size after SIGKILL"
"$imabox" info "$work/killed.wav" | grep -q "Duration: *$(((size - 44) / 16000)).000 s" ||
  fail "header after SIGKILL: $("$imabox" info "$work/killed.wav")"
echo "ok"
