#!/usr/bin/env bash
# Benchmark of --read beside minimodem --rx on the same files: payload bytes
# recovered against noise and against speed error, on tapes kelvora did not
# write (idle cells, more stop bits than told, square waves), reading speed against
# minimodem and against real time, peak memory for a one-hour recording, an
# hour of digital silence and of hiss against an hour of data, and a header
# claiming an absurd sampling rate; tapes read not told their framing (kelvora's
# own and foreign ones), and the time finding the framing takes.
# Recordings are kelvora's own: default framing, 16-bit 44.1 kHz, a 4 KiB
# random payload. Bytes recovered are counted in order (the matching parts of
# a diff), so that one lost or stray byte costs one byte. Times are medians of
# RUNS interleaved runs; kelvora reads the recording on a second thread, so
# its processor time (both threads) is shown beside its wall-clock time.
# Prints Markdown tables.
# Usage: bench/read.sh [path/to/kelvora]   (needs sox, minimodem, python3, python3-numpy, GNU time)
set -euo pipefail
kelvora=$(realpath "${1:-build/kelvora}")
tools=$(realpath "$(dirname "$0")/../tests/tools")
runs=${RUNS:-3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
sox() { command sox -R "$@"; }

python3 -c "import random,sys; random.seed(7); sys.stdout.buffer.write(random.randbytes(4096))" >payload
"$kelvora" -q 16 -r 44100 payload clean.wav
sox clean.wav half.wav vol 0.5

recovered() {
  python3 -c "
import difflib, sys
a, b = open(sys.argv[1], 'rb').read(), open(sys.argv[2], 'rb').read()
print(sum(m.size for m in difflib.SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks()))" payload "$1"
}
ours() { "$kelvora" --read "$1" ours.img 2>/dev/null || true; recovered ours.img; }
theirs() {  # minimodem --rx with extra options
  local wav=$1
  shift
  minimodem --rx -q -8 "$@" -f "$wav" -M 2400 -S 1200 --stopbits 3 1200 >theirs.img 2>/dev/null || true
  recovered theirs.img
}
add_noise() {  # in out dB: white noise over the full band, SNR over the tones
  sox -n -r 44100 -c 1 -b 16 noise.wav synth "$(soxi -s "$1")s" whitenoise vol 0.1
  local rms
  rms=$(sox noise.wav -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')
  sox -m -v 0.25 "$1" -v "$(python3 -c "print(0.125 / 2 ** 0.5 / $rms / 10 ** ($3 / 20))")" noise.wav -b 16 "$2"
}

echo "Payload bytes recovered in order, of 4096 (white noise over the full band):"
echo
echo "| SNR | kelvora --read | minimodem --rx |"
echo "|---|---|---|"
for snr in 4 2 1 0 -1 -2 -3 -4; do
  add_noise half.wav worn.wav "$snr"
  echo "| $snr dB | $(ours worn.wav) | $(theirs worn.wav) |"
done
echo
echo "Payload bytes recovered in order, of 4096 (tape speed off by sox's speed effect):"
echo
echo "| speed | kelvora --read | minimodem --rx | minimodem --rx -a |"
echo "|---|---|---|---|"
for speed in 0.90 0.92 0.94 0.96 0.98 1.02 1.04 1.06 1.08 1.10; do
  sox half.wav worn.wav speed "$speed"
  echo "| ×$speed | $(ours worn.wav) | $(theirs worn.wav) | $(theirs worn.wav -a) |"
done
echo
echo "Tapes kelvora did not write (tests/tools/foreign_tape.py, 1200 baud on 1200/2400 Hz, 4096 random"
echo "bytes; minimodem --tx last), payload bytes recovered in order and the exit status:"
echo
echo "| tape | kelvora --read -s 1 | kelvora --read -s 0 | minimodem --rx --stopbits 1 |"
echo "|---|---|---|---|"
foreign=$tools/foreign_tape.py
for tape in "--stop 1" "--stop 2" "--idle 0-5" "--idle 0-3 --jitter 0.02 --duty 0.45" \
  "--idle 1-4 --sine --rc 3600" "--idle 0-2 --ac 50 --bits 8 --rate 48000" minimodem; do
  if [ "$tape" = minimodem ]; then
    minimodem --tx -f foreign.wav -M 2400 -S 1200 --stopbits 2 1200 <payload
  else
    # shellcheck disable=SC2086
    /usr/bin/python3 "$foreign" foreign.wav --image payload $tape
  fi
  row="| ${tape} |"
  for told in 1 0; do
    status=0
    "$kelvora" -b 1200 -w 1200 -s "$told" --read foreign.wav ours.img 2>/dev/null || status=$?
    row="$row $(recovered ours.img) (status $status) |"
  done
  minimodem --rx -q -8 -f foreign.wav -M 2400 -S 1200 --stopbits 1 1200 >theirs.img 2>/dev/null || true
  echo "$row $(recovered theirs.img) |"
done

cpu_seconds() {  # processor time (user + system) of a command line, in seconds
  /usr/bin/time -o cpu.time -f '%U %S' bash -c "$1" >/dev/null 2>&1 || true
  tail -n 1 cpu.time | awk '{ print $1 + $2 }'  # after time's line on a non-zero status
}
seconds() {  # wall time of a command line, in seconds
  local start end
  start=$(date +%s.%N)
  bash -c "$1" >/dev/null 2>&1 || true
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
mean_ms() { awk '{ s += $1 } END { printf "%.1f", 1000 * s / NR }'; }

# Speed: ten minutes of recording, read by both, interleaved.
python3 -c "import random,sys; random.seed(8); sys.stdout.buffer.write(random.randbytes(60000))" >long.img
"$kelvora" -q 16 -r 44100 -f bin long.img long.wav
long_seconds=$(soxi -D long.wav)
: >ours-times
: >theirs-times
: >ours-cpu
for _ in $(seq "$runs"); do
  seconds "'$kelvora' --read long.wav long.out" >>ours-times
  seconds "minimodem --rx -q -8 -f long.wav -M 2400 -S 1200 --stopbits 3 1200 > long.theirs" >>theirs-times
  cpu_seconds "'$kelvora' --read long.wav long.out" >>ours-cpu
done
k=$(median <ours-times)
m=$(median <theirs-times)
c=$(median <ours-cpu)
cmp -s long.img long.out && long_exact=exact || long_exact="NOT exact"

# One hour of recording: time and peak memory.
python3 -c "import random,sys; random.seed(9); sys.stdout.buffer.write(random.randbytes(360000))" >hour.img
"$kelvora" -q 16 -r 44100 -f bin hour.img hour.wav
hour_seconds=$(soxi -D hour.wav)
: >hour-times
for _ in $(seq "$runs"); do seconds "'$kelvora' --read hour.wav hour.out" >>hour-times; done
h=$(median <hour-times)
/usr/bin/time -o peak -f '%M' "$kelvora" --read hour.wav hour.out 2>/dev/null
peak=$(awk '{ printf "%.1f", $1 / 1024 }' peak)
cmp -s hour.img hour.out && hour_exact=exact || hour_exact="NOT exact"

# An hour of anything should read within the time of an hour of data: an
# hour of digital silence after a short block, and an hour of hiss, each
# timed interleaved with the hour of data (processor time, both threads).
head -c 40 hour.img >short.img
"$kelvora" -q 16 -r 44100 -f "h1 d b3600" short.img silence.wav
sox -n -r 44100 -b 16 -c 1 hiss.wav synth 3600 whitenoise vol 0.1
: >data-cpu
: >silence-cpu
: >hiss-cpu
for _ in $(seq "$runs"); do
  cpu_seconds "'$kelvora' --read hour.wav hour.out" >>data-cpu
  cpu_seconds "'$kelvora' --read silence.wav silence.out" >>silence-cpu
  cpu_seconds "'$kelvora' --read hiss.wav hiss.out" >>hiss-cpu
done
hd=$(median <data-cpu)
hs=$(median <silence-cpu)
hh=$(median <hiss-cpu)
rm -f silence.wav hiss.wav

# A header's claims set neither memory nor time: a WAV claiming 2,000,000,000 Hz.
python3 - <<'PY'
import struct
data = bytearray(open("long.wav", "rb").read(1 << 20))
data[24:32] = struct.pack("<II", 2000000000, 4000000000)
open("claims.wav", "wb").write(data)
PY
/usr/bin/time -o claims -f '%e %M' "$kelvora" --read -b 1 -w 1 claims.wav claims.out >/dev/null 2>&1 || true
claims_time=$(tail -n 1 claims | awk '{ print $1 }')
claims_peak=$(tail -n 1 claims | awk '{ printf "%.1f", $2 / 1024 }')

# Not told: the settings line found, and whether the bytes came back.
echo
echo "Read not told their framing (kelvora's own recordings, 4 KiB; foreign tapes, 256 bytes):"
echo
echo "| tape | settings found | bytes |"
echo "|---|---|---|"
not_told() {  # name wav expected-bytes-file
  local line
  line=$("$kelvora" --read "$2" nt.img 2>&1 | sed -n 's/^settings: //p' | cut -d' ' -f1-6)
  cmp -s nt.img "$3" && verdict=exact || verdict="$(recovered nt.img) of $(wc -c <"$3")"
  echo "| $1 | ${line:-none} | $verdict |"
}
for framing in "-b 300 -w 600 -s 1" "-b 300 -w 1200 -s 2" "-b 2400 -w 2400 -s 1 -r 22050" \
  "-b 4800 -w 4800 -s 2 -r 44100" "-b 110 -w 880 -s 2"; do
  # shellcheck disable=SC2086
  "$kelvora" $framing payload nt.wav
  not_told "kelvora $framing" nt.wav payload
done
sox half.wav nt.wav speed 1.04
not_told "kelvora defaults, 4 % fast" nt.wav payload
for options in "--stop 1 --idle 0-5 --jitter 0.02 --duty 0.45 --rc 8000" "--baud 300 --lower 600 --stop 2 --sine --speed 0.96" \
  "--baud 2400 --lower 4800 --stop 1 --idle 0-2 --rate 48000 --ac 30"; do
  # shellcheck disable=SC2086
  /usr/bin/python3 "$tools/foreign_tape.py" nt.wav --bytes-out nt.bin $options
  not_told "foreign_tape.py $options" nt.wav nt.bin
done
minimodem --tx --mark 2400 --space 1200 --stopbits 2 -f nt.wav 1200 <payload
not_told "minimodem --tx 1200 (2400/1200 Hz, 2 stop bits)" nt.wav payload

# The time finding the framing takes: the ten-minute recording and a
# 20-second one read not told against told, interleaved (processor time,
# both threads: on a shared machine the wall clock mostly measures waiting).
head -c 1500 long.img >short.img
"$kelvora" -q 16 -r 44100 -f bin short.img short.wav
: >told-long
: >found-long
: >told-short
: >found-short
for _ in $(seq "$runs"); do
  cpu_seconds "'$kelvora' --read -b 1200 -w 1200 -s 3 long.wav long.out" >>told-long
  cpu_seconds "'$kelvora' --read long.wav long.out" >>found-long
  cpu_seconds "'$kelvora' --read -b 1200 -w 1200 -s 3 short.wav short.out" >>told-short
  cpu_seconds "'$kelvora' --read short.wav short.out" >>found-short
done
tl=$(mean_ms <told-long)
fl=$(mean_ms <found-long)
ts=$(mean_ms <told-short)
fs=$(mean_ms <found-short)
short_seconds=$(soxi -D short.wav)

cpu=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
echo
echo "Machine: $cpu, $(nproc) cores; median of $runs interleaved runs."
echo
echo "| measurement | figure | target |"
echo "|---|---|---|"
printf '| %.0f s recording: kelvora --read against minimodem --rx | %s s against %s s: %.1f× faster (%s) | at least 10× |\n' \
  "$long_seconds" "$k" "$m" "$(echo "$m / $k" | bc -l)" "$long_exact"
printf '| %.0f s recording: kelvora --read processor time, both threads | %s s | |\n' "$long_seconds" "$c"
printf '| %.0f s recording (one hour): kelvora --read | %s s: %.0f× real time (%s) | at least 500× |\n' \
  "$hour_seconds" "$h" "$(echo "$hour_seconds / $h" | bc -l)" "$hour_exact"
echo "| peak memory reading the one-hour recording | $peak MiB | 32 MiB |"
printf '| one hour of digital silence after a block: processor time against an hour of data | %s s against %s s: %.1f× | at most 1.0× |\n' \
  "$hs" "$hd" "$(echo "$hs / $hd" | bc -l)"
printf '| one hour of hiss: processor time against an hour of data | %s s against %s s: %.1f× | at most 1.0× |\n' \
  "$hh" "$hd" "$(echo "$hh / $hd" | bc -l)"
echo "| a header claiming 2,000,000,000 Hz: time and peak memory | $claims_time s, $claims_peak MiB | 1 s, 64 MiB |"
printf '| %.0f s recording not told against told: processor time | %s ms against %s ms: %.0f× real time | at least 500× |\n' \
  "$long_seconds" "$fl" "$tl" "$(echo "$long_seconds * 1000 / $fl" | bc -l)"
printf '| %.0f s recording not told against told: processor time | %s ms against %s ms: %.0f× real time | at least 500× |\n' \
  "$short_seconds" "$fs" "$ts" "$(echo "$short_seconds * 1000 / $fs" | bc -l)"
