#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the recorded inputs of the encoder quality bench from Debian packages (downloaded with
# `apt-get download` and unpacked into the work folder, not installed), as 16-bit PCM WAVE files:
#
#   bench/quality_sources.sh DIR [acceptance|tuning]
#
# acceptance (bench/quality.sh):
#   speech-8k, speech-16k, speech-22k  Czech dialogue of a puzzle game (fillets-ng-data-cs, Ogg
#                                      Vorbis at 22.05 kHz, several voices), every 60th line
#   speech-fr-8k                       a Canadian French telephone voice (asterisk-core-sounds-fr-wav,
#                                      uncompressed 8 kHz recordings), every 12th prompt
#   music-22k, music-44k-stereo, music-48k-stereo  game music (pushover-data)
# tuning (the material the levels were chosen on; none of it is in the acceptance set):
#   tune-nl-8k, tune-nl-16k, tune-nl-22k  Dutch dialogue of the same game (fillets-ng-data-nl)
#   tune-en-8k                            a US English telephone voice (asterisk-core-sounds-en-wav)
#   tune-music-22k, tune-music-44k-stereo other passages of the same game music
set -euo pipefail
dir=${1:?usage: quality_sources.sh DIR [acceptance|tuning]}
set_name=${2:-acceptance}
mkdir -p "$dir/packages"
dir=$(cd "$dir" && pwd)

need=()
command -v sox >/dev/null || need+=(sox)
dpkg -s libsox-fmt-all >/dev/null 2>&1 || need+=(libsox-fmt-all)  # Ogg Vorbis for sox
if [ ${#need[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# Unpacks a package into $dir/packages once; prints its usr/share.
unpack() {
  local root="$dir/packages/$1"
  if [ ! -d "$root/usr/share" ]; then
    (cd "$dir/packages" && rm -f "$1"_*.deb && apt-get download -q "$1" >/dev/null 2>&1 &&
      dpkg-deb -x "$1"_*.deb "$root" && rm -f "$1"_*.deb) ||
      { echo "quality_sources.sh: cannot download $1" >&2; exit 1; }
  fi
  echo "$root/usr/share"
}

# dialogue NAME PACKAGE LANG EVERY: every EVERY-th line, twelve lines, at 8, 16 and 22.05 kHz.
dialogue() {
  local share lines
  share=$(unpack "$2")
  mapfile -t lines < <(ls "$share"/games/fillets-ng/sound/*/"$3"/*.ogg | sort | awk -v n="$4" 'NR % n == 1' | head -12)
  sox -D "${lines[@]}" -c 1 -b 16 "$dir/$1-22k.wav"
  sox -D "$dir/$1-22k.wav" -r 8000 "$dir/$1-8k.wav"
  sox -D "$dir/$1-22k.wav" -r 16000 "$dir/$1-16k.wav"
}

# prompts NAME PACKAGE VOICE EVERY: every EVERY-th prompt of a telephone voice, 8 kHz as recorded.
prompts() {
  local share files
  share=$(unpack "$2")
  mapfile -t files < <(ls "$share"/asterisk/sounds/"$3"/*.wav | sort | awk -v n="$4" 'NR % n == 1' | head -8)
  sox "${files[@]}" -b 16 "$dir/$1-8k.wav"
}

music() {  # music NAME THEME RATE CHANNELS START
  local share
  share=$(unpack pushover-data)
  sox -D "$share/pushover/themes/$2.ogg" -c "$4" -r "$3" -b 16 "$dir/$1.wav" trim "$5" 20
}

case $set_name in
  acceptance)
    dialogue speech fillets-ng-data-cs cs 60
    prompts speech-fr asterisk-core-sounds-fr-wav fr_CA_f_June 12
    music music-22k castle 22050 1 30
    music music-44k-stereo aztec 44100 2 40
    music music-48k-stereo electro 48000 2 30
    ;;
  tuning)
    dialogue tune-nl fillets-ng-data-nl nl 40
    prompts tune-en asterisk-core-sounds-en-wav en_US_f_Allison 12
    music tune-music-22k castle 22050 1 80
    music tune-music-44k-stereo electro 44100 2 70
    ;;
  *)
    echo "quality_sources.sh: unknown set $set_name" >&2
    exit 2
    ;;
esac
