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

# Framings as baud, lower carrier, stop cells.
for framing in "1200 1200 1" "300 600 2" "300 1200 1" "2400 2400 2" "4800 4800 1" "110 880 2" "600 2400 0"; do
  read -r baud lower stop <<<"$framing"
  for tape in "" "--idle 0-5" "--idle 0-3 --jitter 0.02 --duty 0.45" "--idle 1-4 --sine --rc $((3 * lower))" \
    "--idle 0-2 --ac 50 --rate 48000 --bits 8"; do
    # shellcheck disable=SC2086
    "$numpy" "$tools/foreign_tape.py" tape.wav --baud "$baud" --lower "$lower" --stop "$stop" $tape \
      --bytes 200 --bytes-out sent.bin
    for told in 0 "$stop"; do
      exact "-b $baud -w $lower, $stop stop cells [$tape], told -s $told" -b "$baud" -w "$lower" -s "$told"
    done
  done
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
