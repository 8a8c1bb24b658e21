# Wow and flutter: plays a 16-bit mono WAV through a sinusoidally moving delay,
# so that the instantaneous speed swings by +-depth around nominal at rate Hz,
# starting at the given phase (radians, default 0).
# Usage: python3 wow.py in.wav out.wav depth rate [phase]   (needs numpy)
import sys
import wave

import numpy as np

source, target, depth, rate = sys.argv[1], sys.argv[2], float(sys.argv[3]), float(sys.argv[4])
phase = float(sys.argv[5]) if len(sys.argv) > 5 else 0.0
with wave.open(source, "rb") as w:
    frames = w.getframerate()
    x = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2").astype(np.float64)
t = np.arange(len(x)) / frames
# A delay d(t) = D sin(2 pi f t + phase) makes the speed 1 - d'(t): D 2 pi f = depth.
delay = depth / (2 * np.pi * rate) * np.sin(2 * np.pi * rate * t + phase)
y = np.interp((t - delay) * frames, np.arange(len(x)), x)
with wave.open(target, "wb") as w:
    w.setnchannels(1)
    w.setsampwidth(2)
    w.setframerate(frames)
    w.writeframes(np.clip(np.round(y), -32768, 32767).astype("<i2").tobytes())
