#!/usr/bin/env bash
# Coverage of cells of 1 to 16 lower cycles at the speeds a worn tape runs
# at: tapes of tests/tools/foreign_tape.py (square waves, one stop cell, 60
# random bytes, 22050 Hz) with the lower tone near 1200 and 2400 Hz, the
# baud rate the carrier over the cycles, each read told its framing and not
# told. A cell of many cycles hears a tone only within a fraction of a
# percent of its tuning, so this is where a tape running off speed fails
# first. Also wow and flutter (tests/tools/wow.py) at the same cells.
# Prints Markdown tables: T read exactly told, U not told, . not read.
# Usage: bench/cells.sh [path/to/kelvora]   (needs python3-numpy)
set -euo pipefail
kelvora=$(realpath "${1:-build/kelvora}")
tools=$(realpath "$(dirname "$0")/../tests/tools")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Reads tape.wav told -b $1 -w $2 -s 1 and not told: "TU", "T.", ".U" or "..".
marks() {
  local told=. found=.
  "$kelvora" --read -b "$1" -w "$2" -s 1 tape.wav back.img >/dev/null 2>&1 && cmp -s sent.bin back.img && told=T
  "$kelvora" --read tape.wav back.img >/dev/null 2>&1 && cmp -s sent.bin back.img && found=U
  echo "$told$found"
}

# A table over the cycles, one column per value of $2 (headed as the
# function named $4 names it), each tape made by the function named $1.
table() {
  local make=$1 columns=$2 header=$3 name=$4 carrier k baud lower value row
  for carrier in 1200 2400; do
    echo
    echo "Lower tone near $carrier Hz, $header:"
    echo
    row="| cycles a cell |"
    for value in $columns; do row="$row $("$name" "$value") |"; done
    echo "$row"
    echo "|---|$(for _ in $columns; do printf -- '---|'; done)"
    for k in $(seq 1 16); do
      baud=$(((carrier + k / 2) / k))
      lower=$((baud * k))
      row="| $k ($baud baud) |"
      for value in $columns; do
        "$make" "$baud" "$lower" "$k" "$value"
        row="$row $(marks "$baud" "$lower") |"
      done
      echo "$row"
    done
  done
}

at_speed() {  # baud lower seed speed
  /usr/bin/python3 "$tools/foreign_tape.py" tape.wav --baud "$1" --lower "$2" --seed "$3" --speed "$4" \
    --bytes 60 --bytes-out sent.bin --rate 22050
}
with_wow() {  # baud lower seed depth_rate
  /usr/bin/python3 "$tools/foreign_tape.py" clean.wav --baud "$1" --lower "$2" --seed "$3" \
    --bytes 60 --bytes-out sent.bin --rate 22050
  /usr/bin/python3 "$tools/wow.py" clean.wav tape.wav "${4%_*}" "${4#*_}"
}

speed_name() { echo "×$1"; }
wow_name() { echo "±$(python3 -c "print(round(100 * ${1%_*}))") % at ${1#*_} Hz"; }
table at_speed "0.92 0.96 1 1.04 1.08" "tape speed" speed_name
table with_wow "0.01_1 0.01_10 0.02_1 0.03_1 0.03_10" "wow and flutter" wow_name
