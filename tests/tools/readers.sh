#!/usr/bin/env bash
# Independent readers: sox, ffprobe and Python's wave module must all read
# kelvora's files with the declared format and the exact number of frames.
# Usage: readers.sh path/to/kelvora
kelvora=$1
. "$(dirname "$0")/common.sh"
need soxi ffprobe python3

printf 'odd' >"$work/tape.img"
# options | channels | rate | bits | layout
cases=(
  "-c 1 -q 8|1|9600|8|b2.0 h3.5 d16 h0.5 d h0.05 b0.6"
  "-c 2 -q 8|2|9600|8|bin"
  "-c 1 -q 16 -r 44100|1|44100|16|io"
  "-c 2 -q 16 -r 48000|2|48000|16|b0.5 h0.25 d"
  "-c 1 -q 8|1|9600|8|b0.0001 d1"
)
for entry in "${cases[@]}"; do
  IFS='|' read -r options channels rate bits layout <<<"$entry"
  # shellcheck disable=SC2086
  "$kelvora" $options -f "$layout" "$work/tape.img" "$work/out.wav"
  data=$(python3 -c "import struct,sys; print(struct.unpack('<I', open(sys.argv[1],'rb').read()[40:44])[0])" "$work/out.wav")
  frames=$((data / (channels * bits / 8)))
  label="$options -f '$layout' ($frames frames, data $data bytes)"

  got=$(soxi -c "$work/out.wav")/$(soxi -r "$work/out.wav")/$(soxi -b "$work/out.wav")/$(soxi -s "$work/out.wav")
  [ "$got" = "$channels/$rate/$bits/$frames" ] || fail "soxi read $got for $label"

  probe=$(ffprobe -v error -select_streams a:0 -count_packets -show_entries \
    stream=channels,sample_rate,bits_per_sample,duration_ts -of csv=p=0 "$work/out.wav")
  [ "$probe" = "$rate,$channels,$bits,$frames" ] || fail "ffprobe read $probe for $label"

  python3 - "$work/out.wav" "$channels" "$rate" "$bits" "$frames" <<'PY' || fail "python wave for $label"
import sys, wave
path, channels, rate, bits, frames = sys.argv[1], *map(int, sys.argv[2:])
with wave.open(path, "rb") as w:
    assert (w.getnchannels(), w.getframerate(), w.getsampwidth() * 8) == (channels, rate, bits), w.getparams()
    assert w.getnframes() == frames, (w.getnframes(), frames)
    data = w.readframes(frames + 10)
    assert len(data) == frames * channels * bits // 8, len(data)
PY
  [ "$failures" -eq 0 ] && echo "ok: $label"
done
finish
