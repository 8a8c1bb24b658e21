# A tape as another machine's tape routine writes it, with no kelvora code:
# a one-bit output port toggled in software makes square waves of whole
# cycles, each starting at a zero crossing (or, with --sine, a sine that
# crosses zero where the port would toggle). A byte is a start cell (0),
# eight data cells lowest bit first and the stop cells (1); a 0 cell holds
# lower/baud cycles of the lower tone, a 1 cell twice as many of the upper.
# Idle 1 cells may follow a byte's stop cells, and the routine's timing is
# imperfect: each cycle may be off by a random fraction (jitter), the high
# half longer than the low (duty skew), the whole tape faster (speed). The
# player then smooths it (RC low-pass), blocks its DC (AC coupling) and
# samples it at any rate, 8- or 16-bit, one or two channels, with white
# noise if asked.
# Usage: python3 foreign_tape.py out.wav [options]; --help lists them.
# Needs numpy. Prints nothing unless --bytes-out is given.
import argparse
import math
import random
import wave

import numpy as np

p = argparse.ArgumentParser()
p.add_argument("wav")
p.add_argument("--baud", type=float, default=1200)
p.add_argument("--lower", type=float, default=1200, help="Hz of a 0 cell; a 1 cell is twice this")
p.add_argument("--stop", type=int, default=1, help="stop cells after every byte")
p.add_argument("--idle", default="0", help="idle 1 cells after the stop cells: N, or LO-HI drawn per byte")
p.add_argument("--bytes", type=int, default=256, help="random bytes to send (ignored with --image)")
p.add_argument("--image", help="send this file's bytes instead")
p.add_argument("--bytes-out", help="write the bytes sent to this file")
p.add_argument("--seed", type=int, default=1)
p.add_argument("--silence", type=float, default=0.5, help="seconds of silence before and after")
p.add_argument("--leader", type=float, default=1.0, help="seconds of 1 cells before the bytes")
p.add_argument("--trailer", type=float, default=0.05, help="seconds of 1 cells after the bytes")
p.add_argument("--jitter", type=float, default=0.0, help="rms fraction each cycle's length is off by")
p.add_argument("--duty", type=float, default=0.5, help="share of each cycle spent high")
p.add_argument("--speed", type=float, default=1.0, help="the tape runs this many times too fast")
p.add_argument("--sine", action="store_true", help="a sine in each half cycle instead of a square")
p.add_argument("--rc", type=float, default=0.0, help="Hz of a one-pole low-pass (0: none)")
p.add_argument("--ac", type=float, default=0.0, help="Hz of a one-pole high-pass (0: none)")
p.add_argument("--upper-db", type=float, default=0.0, help="dB the upper tone is louder than the lower")
p.add_argument("--echo", type=float, default=0.0, help="seconds late a copy of the signal is mixed in (0: none)")
p.add_argument("--snr", type=float, help="dB of white Gaussian noise added (signal RMS over noise RMS)")
p.add_argument("--level", type=float, default=0.7, help="peak as a fraction of full scale")
p.add_argument("--rate", type=int, default=44100)
p.add_argument("--bits", type=int, default=16, choices=(8, 16))
p.add_argument("--channels", type=int, default=1, choices=(1, 2))
p.add_argument("--other", default="same", choices=("same", "inverted", "silent", "noise"),
               help="what the second channel holds")
a = p.parse_args()
rng = random.Random(a.seed)
noise = np.random.default_rng(a.seed)

if a.image:
    data = open(a.image, "rb").read()
else:
    data = bytes(rng.randrange(256) for _ in range(a.bytes))
if a.bytes_out:
    open(a.bytes_out, "wb").write(data)
idle = [int(x) for x in a.idle.split("-")]

# Half cycles as (seconds, level): +1 high, -1 low, 0 silence.
halves = []


def cells(bit, count=1):
    cycles = round(a.lower / a.baud * (2 if bit else 1)) * count
    period = 1.0 / (a.lower * (2 if bit else 1)) / a.speed
    gain = 10 ** (a.upper_db / 20) if bit else 1.0
    for _ in range(cycles):
        length = period * (1.0 + a.jitter * rng.gauss(0.0, 1.0))
        halves.append((length * a.duty, gain))
        halves.append((length * (1.0 - a.duty), -gain))


def seconds_of_ones(seconds):
    cells(1, max(0, round(seconds * a.baud)))


halves.append((a.silence / a.speed, 0.0))
seconds_of_ones(a.leader)
for byte in data:
    frame = [0] + [(byte >> i) & 1 for i in range(8)]
    for bit in frame:
        cells(bit)
    cells(1, a.stop + rng.randint(idle[0], idle[-1]))
seconds_of_ones(a.trailer)
halves.append((a.silence / a.speed, 0.0))

lengths = np.array([h[0] for h in halves]) * a.rate
levels = np.array([h[1] for h in halves])
edges = np.concatenate(([0.0], np.cumsum(lengths)))
frames = int(edges[-1])
t = np.arange(frames + 1, dtype=np.float64)
if a.sine:
    # Phase runs through pi in every half cycle and stands still in silence.
    phase = np.concatenate(([0.0], np.cumsum(np.abs(np.sign(levels)) * math.pi)))
    where = np.clip(np.searchsorted(edges, t[:-1] + 0.5, side="right") - 1, 0, len(levels) - 1)
    x = np.sin(np.interp(t[:-1] + 0.5, edges, phase)) * np.abs(levels[where])
else:
    # Each sample is the port's mean level over its sampling period.
    area = np.interp(t, edges, np.concatenate(([0.0], np.cumsum(lengths * levels))))
    x = np.diff(area)


def one_pole(x, hz, high):
    if hz <= 0:
        return x
    k = math.exp(-2 * math.pi * hz / a.rate)
    y = np.empty_like(x)
    state, previous = 0.0, 0.0
    for i, v in enumerate(x.tolist()):
        state = k * (state + v - previous) if high else state + (1 - k) * (v - state)
        previous = v
        y[i] = state
    return y


x = one_pole(one_pole(x, a.rc, False), a.ac, True)
if a.echo > 0:
    late = a.echo * a.rate  # samples, a fraction of one taken between neighbours
    whole = int(late)
    copy = np.concatenate((np.zeros(whole + 1), x))[: len(x) + 1]
    x = x + (1 - (late - whole)) * copy[1:] + (late - whole) * copy[:-1]
x = a.level * x / max(1e-9, np.max(np.abs(x)))
if a.snr is not None:
    # Over the stretch with tone; the level leaves room for the noise's peaks.
    rms = np.sqrt(np.mean(x[np.abs(x) > 1e-3] ** 2))
    x = 0.5 * (x + noise.normal(0.0, rms / 10 ** (a.snr / 20), len(x)))
channels = [x]
if a.channels == 2:
    other = {"same": x, "inverted": -x, "silent": np.zeros_like(x),
             "noise": noise.normal(0.0, a.level / 3, len(x))}[a.other]
    channels.append(np.clip(other, -1.0, 1.0))
y = np.stack(channels, axis=1)
if a.bits == 8:
    pcm = np.clip(np.round(128 + 127 * y), 0, 255).astype(np.uint8)
else:
    pcm = np.clip(np.round(32767 * y), -32768, 32767).astype("<i2")
with wave.open(a.wav, "wb") as w:
    w.setnchannels(a.channels)
    w.setsampwidth(a.bits // 8)
    w.setframerate(a.rate)
    w.writeframes(pcm.tobytes())
