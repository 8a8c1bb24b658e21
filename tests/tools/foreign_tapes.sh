#!/usr/bin/env bash
# Tapes kelvora did not write: foreign_tape.py's one-bit port (square waves
# or sines of whole cycles, idle cells between bytes, timing jitter, duty
# skew, RC and AC coupling) and minimodem --tx, over several framings. Each
# must read back exactly, status 0, whether the reader is told the tape's
# stop bits, fewer, or none (-s is the least number of stop bits: the rest
# is idle line).
# Usage: foreign_tapes.sh path/to/kelvora
kelvora=$(realpath "$1")
tools=$(realpath "$(dirname "$0")")
. "$tools/common.sh"
need minimodem
need_numpy
cd "$work"

# Reads tape.wav with the options given: exactly sent.bin, status 0.
exact() {
  local name=$1
  shift
  if "$kelvora" "$@" --read tape.wav back.img 2>summary && cmp -s sent.bin back.img; then
    echo "ok: $name"
  else
    fail "$name: $(tr '\n' ' ' <summary | cut -c1-300)"
  fi
}

# Framings as baud, lower carrier, stop cells. The last tape starts right
# at its first start cell, half a sample in, the port's polarity inverted,
# ten samples a lower cycle: the first byte's start cell lost, with status
# 0, at one cycle a cell.
for framing in "1200 1200 1" "300 600 2" "300 1200 1" "2400 2400 2" "4800 4800 1" "110 880 2" "600 2400 0"; do
  read -r baud lower stop <<<"$framing"
  half_sample=$(awk "BEGIN { printf \"%.12g\", 0.5 / (10 * $lower) }")
  for tape in "" "--idle 0-5" "--idle 0-3 --jitter 0.02 --duty 0.45" "--idle 1-4 --sine --rc $((3 * lower))" \
    "--idle 0-2 --ac 50 --rate 48000 --bits 8" \
    "--sine --level=-0.7 --leader 0 --silence $half_sample --rate $((10 * lower)) --seed 6"; do
    # shellcheck disable=SC2086
    "$numpy" "$tools/foreign_tape.py" tape.wav --baud "$baud" --lower "$lower" --stop "$stop" $tape \
      --bytes 200 --bytes-out sent.bin
    for told in 0 "$stop"; do
      exact "-b $baud -w $lower, $stop stop cells [$tape], told -s $told" -b "$baud" -w "$lower" -s "$told"
    done
  done
done

# A tape that starts with a byte 0x00: its first frame holds no 1 cell but
# its stop cell, which once left the upper tone's level unlearnt and the
# next frame's boundaries misplaced (8-bit sines, two cycles a cell).
printf '\x00\xf8\x3e\x45\x1a\xde\x7b\xe8\xc7\x9b\xc6\xf5\x76\xc5\x78\xd1' >first.bin
"$numpy" "$tools/foreign_tape.py" tape.wav --baud 1200 --lower 2400 --stop 1 --bits 8 --sine --silence 0 --leader 0 \
  --image first.bin --bytes-out sent.bin
for told in "-b 1200 -w 2400 -s 0" "-b 1200 -w 2400 -s 1" ""; do
  # shellcheck disable=SC2086
  exact "first byte 0x00, ${told:-framing not told}" $told
done

# minimodem's transmitter: a short mark before the first byte, its own stop cells.
python3 -c "import random,sys; random.seed(7); sys.stdout.buffer.write(random.randbytes(300))" >sent.bin
for stop in 1 2 3; do
  minimodem --tx -f tape.wav -M 2400 -S 1200 --stopbits "$stop" 1200 <sent.bin
  for told in 0 1 "$stop"; do
    exact "minimodem --tx --stopbits $stop, told -s $told" -s "$told"
  done
done
finish
