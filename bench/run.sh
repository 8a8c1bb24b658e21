#!/usr/bin/env bash
# Benchmark: kelvora against a raw write of the same size, against minimodem's
# FSK transmitter, and its peak memory. Every time is the median of RUNS
# interleaved runs. Prints a Markdown table.
# Usage: bench/run.sh [path/to/kelvora]   (needs minimodem and GNU time)
set -euo pipefail
kelvora=$(realpath "${1:-build/kelvora}")
runs=${RUNS:-5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

seconds() {  # wall time of a command line, in seconds
  local start end
  start=$(date +%s.%N)
  bash -c "$1" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
peak_mib() {  # peak resident memory of kelvora in a command line (time -o peak runs it)
  bash -c "$1" >/dev/null
  awk '/Maximum resident/ { printf "%.1f", $NF / 1024 }' peak
}

head -c 1048576 /dev/urandom >image-1m
head -c 262144 /dev/urandom >payload-256k
head -c 16777216 /dev/urandom >image-16m
printf 'A' >one-byte

# Runs two command lines alternately; prints the median time of each.
interleaved() {
  : >first-times
  : >second-times
  for _ in $(seq "$runs"); do
    seconds "$1" >>first-times
    seconds "$2" >>second-times
  done
  echo "$(median <first-times) $(median <second-times)"
}

# (a) kelvora -f bin on 1 MiB against writing as many bytes with head.
"$kelvora" -f bin image-1m a.wav
size=$(stat -c %s a.wav)
read -r a raw < <(interleaved "'$kelvora' -f bin image-1m a.wav" "head -c $size /dev/zero > raw.bin")

# (b) 16-bit 9600 Hz audio of 256 KiB against minimodem's transmitter.
read -r k m < <(interleaved "'$kelvora' -q 16 -f bin payload-256k k.wav" \
  "minimodem --tx -q -8 -R 9600 -M 2400 -S 1200 --stopbits 3 1200 -f m.wav < payload-256k")

# (c) peak memory.
t="/usr/bin/time -o peak -f 'Maximum resident %M'"
mem_file_1m=$(peak_mib "$t '$kelvora' image-1m c.wav")
mem_pipe_1m=$(peak_mib "cat image-1m | $t '$kelvora' - - | cat > /dev/null")
mem_file_16m=$(peak_mib "$t '$kelvora' image-16m c.wav")
mem_pipe_16m=$(peak_mib "cat image-16m | $t '$kelvora' - - | cat > /dev/null")
mem_cell=$(peak_mib "$t '$kelvora' -b 1 -w 1 -r 8000000 -q 16 -c 2 -f d1 one-byte c.wav")

cpu=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
echo "Machine: $cpu, $(nproc) cores; median of $runs interleaved runs."
echo
echo "| measurement | figure | target |"
echo "|---|---|---|"
echo "| (a) \`-f bin\`, 1 MiB image → $((size / 1000000)) MB of 8-bit audio | ${a} s against ${raw} s for \`head -c\`: $(echo "$a / $raw" | bc -l | xargs printf '%.1f')× | at most 2.0× |"
echo "| (b) 256 KiB, 16-bit 9600 Hz: kelvora against minimodem --tx | ${k} s against ${m} s: $(echo "$m / $k" | bc -l | xargs printf '%.1f')× faster | at least 10× |"
echo "| (c) peak memory, 1 MiB to a file / through pipes | ${mem_file_1m} / ${mem_pipe_1m} MiB | 32 MiB (pipe: + input) |"
echo "| (c) peak memory, 16 MiB to a file / through pipes | ${mem_file_16m} / ${mem_pipe_16m} MiB | 32 MiB (pipe: + input) |"
echo "| (c) peak memory, one byte of 8,000,000-frame cells (\`-b 1 -w 1 -r 8000000 -q 16 -c 2\`) | ${mem_cell} MiB | 32 MiB |"
