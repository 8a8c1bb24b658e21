#!/usr/bin/env bash
# Round trip through an independent FSK demodulator: every recording must
# decode to exactly the bytes that went in.
# Usage: roundtrip.sh path/to/kelvora
kelvora=$1
. "$(dirname "$0")/common.sh"
need minimodem sox python3

# name | kelvora options | baud | lower carrier | stop bits | downmix first
cases=(
  "defaults||1200|1200|3|no"
  "io preset|-f io|1200|1200|3|no"
  "bin preset, one stop bit|-f bin -s 1|1200|1200|1|no"
  "two stop bits, 44.1 kHz 16-bit|-s 2 -r 44100 -q 16|1200|1200|2|no"
  "2400 baud at 22.05 kHz|-b 2400 -w 2400 -r 22050|2400|2400|3|no"
  "300 baud, 600 Hz carrier, 8 kHz|-b 300 -w 600 -r 8000|300|600|3|no"
  "16-bit stereo at 48 kHz|-q 16 -c 2 -r 48000|1200|1200|3|yes"
)

seed=1
for entry in "${cases[@]}"; do
  IFS='|' read -r name options baud carrier stops downmix <<<"$entry"
  size=$((1024 + (seed * 397) % 1024))
  python3 -c "import random,sys; random.seed($seed); sys.stdout.buffer.write(random.randbytes($size))" >"$work/payload"
  # shellcheck disable=SC2086
  "$kelvora" $options "$work/payload" "$work/out.wav"
  wav="$work/out.wav"
  if [ "$downmix" = "yes" ]; then
    sox "$work/out.wav" -c 1 "$work/mono.wav" remix 1
    wav="$work/mono.wav"
  fi
  minimodem --rx -q -8 -f "$wav" -M $((2 * carrier)) -S "$carrier" --stopbits "$stops" "$baud" \
    >"$work/decoded" 2>/dev/null || true
  if cmp -s "$work/payload" "$work/decoded"; then
    echo "ok: $name ($size bytes)"
  else
    fail "$name: $size bytes in, $(wc -c <"$work/decoded") decoded, first difference: $(cmp "$work/payload" "$work/decoded" 2>&1 | head -n 1)"
  fi
  seed=$((seed + 1))
done
finish
