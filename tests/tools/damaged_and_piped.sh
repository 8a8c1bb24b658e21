#!/usr/bin/env bash
# Recordings written by sox (not by kelvora): every format reads from a pipe
# exactly as from the file (FLAC too, whose decoder reads its first bytes
# twice); a recording that cannot be read to its end (a FLAC damaged in its
# middle, a WAV whose data stops before its header says, either from a pipe)
# fails with one line saying where it stopped, status 1, and an image that
# holds what was read before.
# Usage: damaged_and_piped.sh path/to/kelvora
kelvora=$(realpath "$1")
tools=$(realpath "$(dirname "$0")")
. "$tools/common.sh"
need sox python3
need_reader

cd "$work"
python3 -c "import random,sys; random.seed(19); sys.stdout.buffer.write(random.randbytes(2048))" >payload
"$kelvora" -q 16 -r 44100 -f bin payload clean.wav
sox -R clean.wav -b 16 f.wav vol 0.5

for format in f.flac f.ogg f.aiff f.au "-b 24 f24.wav"; do
  # shellcheck disable=SC2086
  sox -R f.wav $format
  file=${format##* }
  if "$kelvora" --read - piped.img <"$file" 2>/dev/null && cat "$file" | "$kelvora" --read - piped.img 2>/dev/null &&
    cmp -s payload piped.img; then
    echo "ok: $format through a pipe"
  else
    fail "$format through a pipe: $(cat "$file" | "$kelvora" --read - /dev/null 2>&1 | tr '\n' ' ')"
  fi
done

# A pipe that ends within the first bytes is refused at once, not waited on.
said=$(printf 'fL' | timeout 10 "$kelvora" --read - piped.img 2>&1) && status=0 || status=$?
if [ "$status" -eq 1 ] && [ "$said" = "cannot read -: Format not recognised" ]; then
  echo "ok: a pipe of two bytes: $said"
else
  fail "a pipe of two bytes: status $status, '$said'"
fi

# Damaged: bytes overwritten in the middle of a FLAC; a WAV cut in half.
python3 - <<'PY'
data = bytearray(open("f.flac", "rb").read())
middle = len(data) // 2
data[middle:middle + 4000] = b"\x55" * 4000
open("bad.flac", "wb").write(data)
wav = open("f.wav", "rb").read()
open("cut.wav", "wb").write(wav[: len(wav) // 2])
PY
damaged() {
  local name=$1 expected=$2 said status
  shift 2
  set +e
  said=$("$@" 2>/dev/null)
  status=$?
  set -e
  local bytes
  bytes=$(wc -c <back.img)
  if [ "$status" -eq 1 ] && [[ $said =~ $expected ]] && [ "$(printf '%s\n' "$said" | wc -l)" -eq 1 ] &&
    [ "$bytes" -gt 100 ] && cmp -s back.img <(head -c "$bytes" payload); then
    echo "ok: $name: $said ($bytes bytes kept)"
  else
    fail "$name: status $status, '$said', $bytes bytes"
  fi
}
damaged "damaged FLAC" '^cannot read bad\.flac after [0-9.]+ s: .*sync' "$kelvora" --read bad.flac back.img
damaged "damaged FLAC from a pipe" '^cannot read - after [0-9.]+ s: .*sync' \
  sh -c "cat bad.flac | '$kelvora' --read - back.img"
damaged "WAV cut short" '^cannot read cut\.wav: it ends after [0-9.]+ s, before the [0-9.]+ s its header gives$' \
  "$kelvora" --read cut.wav back.img
damaged "WAV cut short, from a pipe" '^cannot read -: it ends after [0-9.]+ s, before the [0-9.]+ s its header gives$' \
  sh -c "cat cut.wav | '$kelvora' --read - back.img"
finish
