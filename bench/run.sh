#!/usr/bin/env bash
# Benchmark: kelvora against writing as many bytes with head -c (to a file,
# or through a pipe into cat), against minimodem's FSK transmitter, and its
# peak memory. Every time is the median of RUNS runs interleaved with the
# yardstick's, so that both see the same load on a shared machine; a ratio
# is kelvora's median over the yardstick's. Prints Markdown tables: one of
# the headline figures, one of every setting written to disk, to tmpfs
# (where no disk hides the work) and through a pipe, and the worst setting.
# Usage: bench/run.sh [path/to/kelvora]   (needs minimodem and GNU time)
set -euo pipefail
kelvora=$(realpath "${1:-build/kelvora}")
runs=${RUNS:-7}
work=$(mktemp -d)
shm=$(mktemp -d -p /dev/shm 2>/dev/null || mktemp -d)  # tmpfs where there is one
trap 'rm -rf "$work" "$shm"' EXIT
cd "$work"

seconds() {  # wall time of a command line, in seconds
  local start end
  start=$(date +%s.%N)
  bash -c "$1" >/dev/null
  end=$(date +%s.%N)
  echo "$end - $start" | bc -l
}
median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.3f", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { echo "$1 / $2" | bc -l | xargs printf '%.2f'; }
peak_mib() {  # peak resident memory of kelvora in a command line (time -o peak runs it)
  bash -c "$1" >/dev/null
  awk '/Maximum resident/ { printf "%.1f", $NF / 1024 }' peak
}
t="/usr/bin/time -o peak -f 'Maximum resident %M'"

head -c 1048576 /dev/urandom >image-1m
head -c 262144 /dev/urandom >payload-256k
head -c 300000 /dev/urandom >image-300k
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

# kelvora with the options to a file, against head -c of the same size;
# prints both medians, the ratio, the size in MB and kelvora's peak memory.
# DIR (default here) is where both write.
against_raw_write() {
  local dir=${DIR:-.}
  "$kelvora" "$@" "$dir/out.wav"
  local size k raw
  size=$(stat -c %s "$dir/out.wav")
  read -r k raw < <(interleaved "'$kelvora' $* '$dir/out.wav'" "head -c $size /dev/zero > '$dir/raw.bin'")
  echo "$k $raw $(ratio "$k" "$raw") $((size / 1000000)) $(peak_mib "$t '$kelvora' $* '$dir/out.wav'")"
  rm -f "$dir/out.wav" "$dir/raw.bin"
}

# (a) the defaults with -f bin; (d) 16-bit stereo 48 kHz; (e), (f) settings
# whose cells rarely repeat.
read -r a a_raw a_ratio a_mb a_mem < <(against_raw_write -f bin image-1m)
read -r d d_raw d_ratio d_mb d_mem < <(against_raw_write -q 16 -c 2 -r 48000 -f bin payload-256k)
read -r e e_raw e_ratio e_mb e_mem < <(against_raw_write -b 50 -w 1000 -r 8001 -f bin image-300k)
read -r f f_raw f_ratio f_mb f_mem < <(against_raw_write -q 16 -w 2400 -r 22050 -f bin image-300k)

# (g) the defaults through a pipe, against head -c through the same pipe.
g_size=$("$kelvora" image-1m - | wc -c)
read -r g g_raw < <(interleaved "'$kelvora' image-1m - | cat > /dev/null" "head -c $g_size /dev/zero | cat > /dev/null")
g_ratio=$(ratio "$g" "$g_raw")
g_mem=$(peak_mib "$t '$kelvora' image-1m - | cat > /dev/null")

# (b) 16-bit 9600 Hz audio of 256 KiB against minimodem's transmitter.
read -r k m < <(interleaved "'$kelvora' -q 16 -f bin payload-256k k.wav" \
  "minimodem --tx -q -8 -R 9600 -M 2400 -S 1200 --stopbits 3 1200 -f m.wav < payload-256k")
b_mem=$(peak_mib "$t '$kelvora' -q 16 -f bin payload-256k k.wav")

# (c) peak memory.
mem_file_1m=$(peak_mib "$t '$kelvora' image-1m c.wav")
mem_pipe_1m=$(peak_mib "cat image-1m | $t '$kelvora' - - | cat > /dev/null")
mem_file_16m=$(peak_mib "$t '$kelvora' image-16m c.wav")
mem_pipe_16m=$(peak_mib "cat image-16m | $t '$kelvora' - - | cat > /dev/null")
mem_cell=$(peak_mib "$t '$kelvora' -b 1 -w 1 -r 8000000 -q 16 -c 2 -f d1 one-byte c.wav")

cpu=$(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo)
echo "Machine: $cpu, $(nproc) cores; median of $runs interleaved runs."
echo
echo "| measurement | figure | peak memory | target |"
echo "|---|---|---|---|"
echo "| (a) \`-f bin\`, 1 MiB image → $a_mb MB of 8-bit audio | ${a} s against ${a_raw} s for \`head -c\`: ${a_ratio}× | ${a_mem} MiB | at most 1.0× |"
echo "| (d) \`-q 16 -c 2 -r 48000 -f bin\`, 256 KiB → $d_mb MB | ${d} s against ${d_raw} s for \`head -c\`: ${d_ratio}× | ${d_mem} MiB | at most 0.9× |"
echo "| (e) cells rarely repeat: \`-b 50 -w 1000 -r 8001 -f bin\`, 300 KB → $e_mb MB | ${e} s against ${e_raw} s for \`head -c\`: ${e_ratio}× | ${e_mem} MiB | at most 1.5× |"
echo "| (f) cells rarely repeat: \`-q 16 -w 2400 -r 22050 -f bin\`, 300 KB → $f_mb MB | ${f} s against ${f_raw} s for \`head -c\`: ${f_ratio}× | ${f_mem} MiB | at most 1.5× |"
echo "| (g) defaults, 1 MiB, \`- \| cat > /dev/null\` → $((g_size / 1000000)) MB | ${g} s against ${g_raw} s for \`head -c\` through the same pipe: ${g_ratio}× | ${g_mem} MiB | at most 1.25× |"
echo "| (b) 256 KiB, 16-bit 9600 Hz: kelvora against minimodem --tx | ${k} s against ${m} s: $(echo "$m / $k" | bc -l | xargs printf '%.1f')× faster | ${b_mem} MiB | at least 50× |"
echo "| (c) peak memory, 1 MiB to a file / through pipes | | ${mem_file_1m} / ${mem_pipe_1m} MiB | 32 MiB (pipe: + input) |"
echo "| (c) peak memory, 16 MiB to a file / through pipes | | ${mem_file_16m} / ${mem_pipe_16m} MiB | 32 MiB (pipe: + input) |"
echo "| (c) peak memory, one byte of 8,000,000-frame cells (\`-b 1 -w 1 -r 8000000 -q 16 -c 2\`) | | ${mem_cell} MiB | 32 MiB |"

# Every setting, 300 KB with -f bin, to disk and to tmpfs; the worst ratio on tmpfs.
settings=(
  "-b 1200 -w 1200 -r 11025"
  "-q 16 -w 2400 -r 22050"
  "-b 50 -w 1000 -r 8001"
  "-b 50 -w 1000 -r 8001 -q 16"
  "-r 44100"
  ""
  "-b 2400 -w 2400 -r 19200"
  "-q 16"
  "-b 1000 -w 2000 -r 16000 -s 1"
  "-b 300 -w 600"
  "-b 1500 -w 1500 -r 48000 -q 16 -c 2 -s 0"
  # One class of long cells, late in the clock; a tone whose period is a
  # whole number of frames; 16-bit cells in classes that drift too fast.
  "-b 75 -w 1200 -r 11025"
  "-b 110 -w 220 -r 22000"
  "-b 110 -w 220 -r 32000 -q 16"
  "-b 1200 -w 2400 -r 44100 -q 16 -c 2"
)
# kelvora with the options through a pipe into cat, against head -c of the
# same size through the same pipe; prints the ratio.
against_pipe() {
  local size k raw
  size=$("$kelvora" "$@" - | wc -c)
  read -r k raw < <(interleaved "'$kelvora' $* - | cat > /dev/null" "head -c $size /dev/zero | cat > /dev/null")
  ratio "$k" "$raw"
}

echo
echo "| settings (\`-f bin\`, 300 KB) | MB | disk: kelvora / head | tmpfs: kelvora / head | pipe: kelvora / head | peak memory |"
echo "|---|---|---|---|---|---|"
worst=0
worst_setting=
worst_pipe=0
worst_pipe_setting=
for options in "${settings[@]}"; do
  # shellcheck disable=SC2086  # the options are words
  read -r _ _ disk_ratio mb _ < <(against_raw_write $options -f bin image-300k)
  # shellcheck disable=SC2086
  read -r k raw shm_ratio _ mem < <(DIR=$shm against_raw_write $options -f bin image-300k)
  # shellcheck disable=SC2086
  pipe_ratio=$(against_pipe $options -f bin image-300k)
  echo "| \`${options:-(defaults)}\` | $mb | ${disk_ratio}× | ${shm_ratio}× (${k} s / ${raw} s) | ${pipe_ratio}× | ${mem} MiB |"
  if [ "$(echo "$shm_ratio > $worst" | bc -l)" = 1 ]; then
    worst=$shm_ratio
    worst_setting=${options:-(defaults)}
  fi
  if [ "$(echo "$pipe_ratio > $worst_pipe" | bc -l)" = 1 ]; then
    worst_pipe=$pipe_ratio
    worst_pipe_setting=${options:-(defaults)}
  fi
done
echo
echo "Worst setting on tmpfs: \`$worst_setting\` at ${worst}× head -c (target: at most 1.5×);" \
  "through a pipe \`$worst_pipe_setting\` at ${worst_pipe}× head -c through the same pipe, the defaults of" \
  "1 MiB ${g_ratio}× (target: at most 1.25×)."
