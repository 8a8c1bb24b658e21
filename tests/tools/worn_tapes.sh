#!/usr/bin/env bash
# Worn tapes: a 4 KiB payload in kelvora's default framing, 16-bit 44.1 kHz,
# is worn with sox (noise, speed, wow and flutter, band limits, polarity, DC,
# 8-bit requantisation) and must read back exactly with no stray byte; below
# 1 dB SNR at least as many payload bytes as minimodem --rx recovers. Other
# file formats (24/32-bit, float, FLAC, OGG, AIFF, stereo, other rates) must
# read back exactly too.
# Usage: worn_tapes.sh path/to/kelvora
kelvora=$(realpath "$1")
tools=$(realpath "$(dirname "$0")")
. "$tools/common.sh"
need sox minimodem python3
need_numpy
need_reader

cd "$work"
python3 -c "import random,sys; random.seed(12); sys.stdout.buffer.write(random.randbytes(4096))" >payload
"$kelvora" -q 16 -r 44100 payload clean.wav
# Every sox run is repeatable (-R: fixed seeds for noise and dither).
sox() { command sox -R "$@"; }
# Worn copies are made at half level, so that filters do not clip; noise is
# added at a quarter of that (tones of RMS 0.125 / sqrt(2)).
sox clean.wav half.wav vol 0.5

# Payload bytes recovered in order (the matching parts of a diff): a lost or
# stray byte costs one byte, not the rest of the tape.
recovered() {
  python3 -c "
import difflib, sys
a, b = open(sys.argv[1], 'rb').read(), open(sys.argv[2], 'rb').read()
print(sum(m.size for m in difflib.SequenceMatcher(None, a, b, autojunk=False).get_matching_blocks()))" payload "$1"
}

# White noise over the full band at the given SNR (signal RMS over the tones
# against noise RMS): in, out, dB.
add_noise() {
  sox -n -r 44100 -c 1 -b 16 noise.wav synth "$(soxi -s "$1")s" whitenoise vol 0.1
  local noise_rms scale
  noise_rms=$(sox noise.wav -n stat 2>&1 | awk '/RMS +amplitude/ { print $3 }')
  scale=$(python3 -c "print(0.125 / 2 ** 0.5 / $noise_rms / 10 ** ($3 / 20))")
  sox -m -v 0.25 "$1" -v "$scale" noise.wav -b 16 "$2"
}

# Reads a worn recording: it must give exactly the payload, status 0.
exact() {
  local name=$1 wav=$2
  if "$kelvora" --read "$wav" back.img 2>summary && cmp -s payload back.img; then
    echo "ok: $name ($(grep speed summary))"
  else
    fail "$name: $(wc -c <back.img) bytes, $(recovered back.img) of 4096 in order; $(tr '\n' ' ' <summary)"
  fi
}

add_noise half.wav worn.wav 1
exact "white noise, SNR 1 dB" worn.wav
for speed in 1.08 0.92; do
  sox half.wav worn.wav speed "$speed"
  exact "speed x$speed" worn.wav
done
# At two phases: where the wobble stands when a block begins matters.
for rate in 1 4 10; do
  for phase in 0 4; do
    "$numpy" "$tools/wow.py" half.wav worn.wav 0.03 "$rate" "$phase"
    exact "wow and flutter +-3 % at $rate Hz, phase $phase" worn.wav
  done
done
# Cells of many cycles under wow: the tone turns within a cell. A shorter
# payload in cells of 4 to 16 lower cycles, read told its framing and not;
# flutter at 10 Hz on cells of 12 and 16 cycles (at 4 and 8 it does not
# read yet).
head -c 160 payload >short
for baud in 600 300 200 150; do
  "$kelvora" -q 16 -r 22050 -b "$baud" -w 2400 short long.wav
  wows=("0.5 2" "1 0")
  if [ "$baud" -le 200 ]; then wows+=("10 2"); fi
  for wow in "${wows[@]}"; do
    # shellcheck disable=SC2086
    "$numpy" "$tools/wow.py" long.wav worn.wav 0.03 $wow
    for told in "-b $baud -w 2400 -s 3" ""; do
      name="wow +-3 % at ${wow% *} Hz, phase ${wow#* }, cells of $((2400 / baud)) cycles, ${told:-not told}"
      # shellcheck disable=SC2086
      if "$kelvora" --read $told worn.wav back.img 2>summary && cmp -s short back.img; then
        echo "ok: $name"
      else
        fail "$name: $(tr '\n' ' ' <summary)"
      fi
    done
  done
done
sox half.wav worn.wav sinc -2600
exact "brick-wall low-pass 2600 Hz" worn.wav
sox half.wav worn.wav lowpass -1 700
exact "treble loss at 700 Hz" worn.wav
sox half.wav worn.wav sinc 200-3500
exact "band 200-3500 Hz" worn.wav
sox clean.wav worn.wav vol -1
exact "inverted polarity" worn.wav
sox half.wav worn.wav dcshift 0.3
exact "DC offset of 30 %" worn.wav
sox clean.wav -b 8 worn.wav vol 0.03
exact "8-bit at 3 % level" worn.wav
sox clean.wav worn.wav vol 0.001
exact "16-bit at 0.1 % level (-60 dB)" worn.wav
# A recording that begins with digital silence (every sample 0, as a sound
# card's first buffers) before the hiss: the hiss must not read as tone.
python3 -c "
import wave
with wave.open('zeros.wav', 'wb') as w:
    w.setnchannels(1), w.setsampwidth(2), w.setframerate(44100), w.writeframes(bytes(8820))"
sox -D zeros.wav half.wav worn.wav
exact "digital silence before the hiss" worn.wav
# Five seconds of hiss, then a block without leader starting at no cell's
# edge: its first byte must be found, however the hunt passes over hiss.
"$kelvora" -q 16 -r 44100 -f "b5.0123 d" payload leaderless.wav
sox leaderless.wav leaderless_half.wav vol 0.5
add_noise leaderless_half.wav worn.wav 6
exact "a block without leader after 5 s of hiss" worn.wav
# A tone sweeping through both tones before the tape (an announcement, a
# jingle) poses as leader at every speed it passes: the tape after the
# silence must still be found.
sox -n -r 44100 -c 1 -b 16 sweep.wav synth 3 sine 300-5000 vol 0.3
sox -D sweep.wav half.wav worn.wav
exact "a sweep before the tape" worn.wav
# Dropouts (the tape loses contact for 3 to 60 ms) inside the long block:
# the image keeps its length, every byte the summary does not list as a
# framing error is right, and the status says the image is not whole.
for ms in 3 10 30 60; do
  python3 -c "
import sys, wave
with wave.open('half.wav', 'rb') as w:
    params, frames = w.getparams(), bytearray(w.readframes(w.getnframes()))
start = int(20.013 * params.framerate) * 2
frames[start:start + int($ms * params.framerate / 1000) * 2] = bytes(int($ms * params.framerate / 1000) * 2)
with wave.open('worn.wav', 'wb') as w:
    w.setparams(params)
    w.writeframes(bytes(frames))"
  status=0
  "$kelvora" --read worn.wav back.img 2>summary || status=$?
  if verdict=$(python3 -c "
import re, sys
a, b = open('payload', 'rb').read(), open('back.img', 'rb').read()
listed = {int(n) for n in re.findall(r'\\d+', open('summary').read().split('offset')[-1])} if 'offset' in open('summary').read() else set()
wrong = {i for i in range(min(len(a), len(b))) if a[i] != b[i]}
if len(b) != len(a) or not listed or not wrong <= listed:
    print(f'{len(b)} bytes, wrong at {sorted(wrong)[:20]}, listed {sorted(listed)[:20]}')
    sys.exit(1)
print(f'{len(listed)} listed')") && [ "$status" = 1 ]; then
    echo "ok: dropout of $ms ms ($verdict)"
  else
    fail "dropout of $ms ms: status $status, $verdict; $(tr '\n' ' ' <summary)"
  fi
done
sox half.wav fast.wav speed 1.03
add_noise fast.wav noisy.wav 4
sox noisy.wav worn.wav sinc 200-3500
exact "speed x1.03, SNR 4 dB and band 200-3500 Hz together" worn.wav

# Gaussian noise at 1 dB SNR from a fixed seed: worn.wav.
gaussian_noise() {
  "$numpy" -c "
import sys, wave, numpy as np
with wave.open('half.wav', 'rb') as w:
    params, x = w.getparams(), np.frombuffer(w.readframes(w.getnframes()), '<i2') / 32768
noise = np.random.default_rng($1).standard_normal(len(x)) * 0.125 / 2 ** 0.5 / 10 ** (1 / 20)
with wave.open('worn.wav', 'wb') as w:
    w.setparams(params)
    w.writeframes(np.clip(np.round((0.25 * x + noise) * 32767), -32768, 32767).astype('<i2').tobytes())"
}

# The framing and layout found at 1 dB SNR, over Gaussian noise draws: a
# stop cell that noise flips must not pass for fewer stop bits (the idle
# cells of every frame would then be read for phantom frames), and the hiss
# that opens the recording must not pass for a short leader. Most such
# draws read exactly with status 0: a near tie that noise makes is not
# doubted where the tones' phases settle it.
clear_draws=0
for seed in 2 3 8 18 25 71; do
  gaussian_noise "$seed"
  if "$kelvora" --read worn.wav back.img 2>summary && cmp -s payload back.img; then
    clear_draws=$((clear_draws + 1))
  fi
  if grep -q "^settings: -b 1200 -w 1200 -s 3 -q 16 -r 44100 -c 1 -f 'b2 h3.5 d16 h0.5 d4080 " summary; then
    echo "ok: framing and layout found at SNR 1 dB, noise draw $seed"
  else
    fail "framing and layout found at SNR 1 dB, noise draw $seed: $(grep settings summary)"
  fi
done
if [ "$clear_draws" -ge 5 ]; then
  echo "ok: $clear_draws of 6 noise draws at SNR 1 dB read exactly with status 0"
else
  fail "only $clear_draws of 6 noise draws at SNR 1 dB read exactly with status 0"
fi

# Noise draws at 1 dB SNR where noise in one cell outscored the right tone
# (by a hair in three; in the fourth at a phase the frame's other cells of
# that tone do not hold it at): the image may be wrong only with status 1.
for seed in 30 60 68 150; do
  gaussian_noise "$seed"
  status=0
  "$kelvora" --read worn.wav back.img 2>summary || status=$?
  if cmp -s payload back.img || [ "$status" = 1 ]; then
    echo "ok: no silent wrong byte at SNR 1 dB, noise draw $seed (status $status)"
  else
    fail "SNR 1 dB, noise draw $seed: a wrong image with status $status; $(tr '\n' ' ' <summary)"
  fi
done

# Below 1 dB: at least as many payload bytes in order as minimodem.
for snr in -2 -4; do
  add_noise half.wav worn.wav "$snr"
  "$kelvora" --read worn.wav back.img 2>/dev/null || true
  minimodem --rx -q -8 -f worn.wav -M 2400 -S 1200 --stopbits 3 1200 >theirs.img 2>/dev/null || true
  ours=$(recovered back.img)
  theirs=$(recovered theirs.img)
  if [ "$ours" -ge "$theirs" ]; then
    echo "ok: SNR $snr dB: $ours of 4096 bytes in order (minimodem $theirs)"
  else
    fail "SNR $snr dB: $ours of 4096 bytes in order, minimodem $theirs"
  fi
done

# Other formats and rates, as sox writes them.
for format in "-b 24 f.wav" "-b 32 f.wav" "-e floating-point -b 32 f.wav" "f.flac" "f.ogg" \
  "f.aiff" "-c 2 f.wav" "-r 48000 f.wav" "-r 22050 f.wav"; do
  # shellcheck disable=SC2086
  sox half.wav $format
  exact "format: $format" "${format##* }"
done
finish
