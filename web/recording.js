// A recording chosen on the page, as frames for the reader. A WAV file is
// taken apart here so that its samples reach the reader exactly as the
// command line reads them: 8- and 16-bit as 16-bit integers (8-bit shifted
// up), wider integers and floats as 32-bit floats in [-1, 1]. Any other
// format the browser decodes itself, at the file's own rate where the file
// tells it (FLAC, Ogg Vorbis), else at 48000 Hz.
'use strict';

const recordingFrames = (() => {
  const text = (bytes, at, n) => String.fromCharCode(...bytes.subarray(at, at + n));

  // { rate, channels, asShort, frames, samples: ArrayBuffer } of a PCM or float WAV, or null.
  function fromWav(buffer) {
    const bytes = new Uint8Array(buffer);
    const view = new DataView(buffer);
    if (bytes.length < 12 || text(bytes, 0, 4) !== 'RIFF' || text(bytes, 8, 4) !== 'WAVE') return null;
    let format = null;
    for (let at = 12; at + 8 <= bytes.length;) {
      const id = text(bytes, at, 4);
      const size = view.getUint32(at + 4, true);
      const body = at + 8;
      if (id === 'fmt ' && size >= 16) {
        let tag = view.getUint16(body, true);
        if (tag === 0xFFFE && size >= 26) tag = view.getUint16(body + 24, true);
        format = { tag, channels: view.getUint16(body + 2, true), rate: view.getUint32(body + 4, true),
          bits: view.getUint16(body + 14, true) };
      } else if (id === 'data' && format) {
        return wavSamples(view, body, Math.min(size, bytes.length - body), format);
      }
      at = body + size + (size & 1);
    }
    return null;
  }

  function wavSamples(view, at, size, f) {
    const width = f.bits / 8;
    if (f.channels < 1 || !Number.isInteger(width) || width < 1) return null;
    const frames = Math.floor(size / (width * f.channels));
    const count = frames * f.channels;
    const result = { rate: f.rate, channels: f.channels, bits: f.bits, frames, asShort: false };
    if (f.tag === 1 && f.bits <= 16) {
      const out = new Int16Array(count);
      for (let i = 0; i < count; ++i) {
        out[i] = f.bits === 8 ? (view.getUint8(at + i) - 128) << 8 : view.getInt16(at + 2 * i, true);
      }
      return { ...result, asShort: true, samples: out.buffer };
    }
    const out = new Float32Array(count);
    if (f.tag === 1 && f.bits === 24) {
      for (let i = 0, p = at; i < count; ++i, p += 3) {
        out[i] = ((view.getInt8(p + 2) << 16) | (view.getUint8(p + 1) << 8) | view.getUint8(p)) / 8388608;
      }
    } else if (f.tag === 1 && f.bits === 32) {
      for (let i = 0; i < count; ++i) out[i] = Math.fround(view.getInt32(at + 4 * i, true)) / 2147483648;
    } else if (f.tag === 3 && f.bits === 32) {
      for (let i = 0; i < count; ++i) out[i] = view.getFloat32(at + 4 * i, true);
    } else if (f.tag === 3 && f.bits === 64) {
      for (let i = 0; i < count; ++i) out[i] = view.getFloat64(at + 8 * i, true);
    } else {
      return null;  // compressed: the browser decodes it
    }
    return { ...result, samples: out.buffer };
  }

  // The sampling rate a FLAC or Ogg Vorbis file states, or 0.
  function statedRate(bytes) {
    if (text(bytes, 0, 4) === 'fLaC' && bytes.length >= 21) {
      return (bytes[18] << 12) | (bytes[19] << 4) | (bytes[20] >> 4);
    }
    const vorbis = text(bytes, 28, 7);
    if (text(bytes, 0, 4) === 'OggS' && vorbis === '\x01vorbis' && bytes.length >= 44) {
      return new DataView(bytes.buffer).getUint32(40, true);
    }
    return 0;
  }

  async function decoded(buffer) {
    const rate = statedRate(new Uint8Array(buffer)) || 48000;
    const audio = await new OfflineAudioContext(1, 1, rate).decodeAudioData(buffer);
    const channels = audio.numberOfChannels;
    const out = new Float32Array(audio.length * channels);
    for (let c = 0; c < channels; ++c) {
      const data = audio.getChannelData(c);
      for (let i = 0; i < data.length; ++i) out[i * channels + c] = data[i];
    }
    return { rate: audio.sampleRate, channels, bits: 16, frames: audio.length, asShort: false, samples: out.buffer };
  }

  // The recording's frames; rejects with the browser's reason when it cannot decode the file.
  return async function (file) {
    const buffer = await file.arrayBuffer();
    return fromWav(buffer) || decoded(buffer);
  };
})();
