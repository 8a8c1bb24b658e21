// Plays a WAV Blob of integer PCM, as kelvora writes it, through Web Audio a
// few seconds at a time, so that hours of tape take no more memory than
// that. Samples go to the browser unchanged in value (8-bit v: (v - 128) /
// 128, 16-bit v: v / 32768); the browser resamples them to its device.
'use strict';

const player = (() => {
  const ahead = 6;          // seconds scheduled beyond what is heard
  const chunkSeconds = 3;
  let current = null;       // the playback under way

  function readFormat(view) {
    return { channels: view.getUint16(22, true), rate: view.getUint32(24, true), bits: view.getUint16(34, true) };
  }

  function fill(buffer, bytes, format) {
    const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    const step = format.bits / 8;
    for (let c = 0; c < format.channels; ++c) {
      const out = buffer.getChannelData(c);
      let at = c * step;
      for (let i = 0; i < out.length; ++i, at += format.channels * step) {
        out[i] = format.bits === 8 ? (bytes[at] - 128) / 128 : view.getInt16(at, true) / 32768;
      }
    }
  }

  // The sample frame leaving the speaker now (what the device still holds is not yet heard).
  function heardFrame(playback) {
    const context = playback.context;
    const stamp = context.getOutputTimestamp ? context.getOutputTimestamp() : {};
    const now = stamp.contextTime > 0 ? stamp.contextTime : context.currentTime - (context.outputLatency || 0);
    return Math.max(0, Math.floor((now - playback.start) * playback.format.rate));
  }

  async function scheduleAhead(playback) {
    if (playback.scheduling) return;
    playback.scheduling = true;
    const { blob, format, context } = playback;
    const frameBytes = format.channels * format.bits / 8;
    while (!playback.ended && playback.next < playback.total &&
           playback.start + playback.next / format.rate < context.currentTime + ahead) {
      const n = Math.min(format.rate * chunkSeconds, playback.total - playback.next);
      const from = 44 + playback.next * frameBytes;
      const bytes = new Uint8Array(await blob.slice(from, from + n * frameBytes).arrayBuffer());
      if (playback.ended) break;
      const buffer = context.createBuffer(format.channels, n, format.rate);
      fill(buffer, bytes, format);
      const source = context.createBufferSource();
      source.buffer = buffer;
      source.connect(context.destination);
      source.start(playback.start + playback.next / format.rate);
      playback.sources.add(source);
      source.onended = () => playback.sources.delete(source);
      playback.next += n;
    }
    playback.scheduling = false;
  }

  function finish(playback, how) {
    if (playback.ended) return;
    playback.ended = true;
    clearInterval(playback.timer);
    for (const source of playback.sources) source.stop();
    playback.context.close();
    if (playback.wakeLock) playback.wakeLock.release().catch(() => {});
    if (current === playback) current = null;
    playback.resolve(how);
  }

  // Plays the WAV; onProgress(frame, total) a few times a second. Resolves
  // with 'played' or 'stopped', or with a sentence saying why it cannot play.
  async function play(blob, onProgress) {
    if (current) finish(current, 'stopped');
    const format = readFormat(new DataView(await blob.slice(0, 44).arrayBuffer()));
    const context = new AudioContext();
    try {
      context.createBuffer(format.channels, 1, format.rate);
    } catch (e) {
      context.close();
      return 'this browser cannot play ' + format.rate + ' Hz: save the WAV and play it instead';
    }
    await context.resume();
    const playback = { blob, format, context, sources: new Set(), next: 0, ended: false,
      total: (blob.size - 44) / (format.channels * format.bits / 8), start: context.currentTime + 0.2 };
    current = playback;
    if (navigator.wakeLock) navigator.wakeLock.request('screen').then((lock) => { playback.wakeLock = lock; }, () => {});
    return new Promise((resolve) => {
      playback.resolve = resolve;
      const tick = () => {
        if (playback.ended) return;
        const heard = Math.min(heardFrame(playback), playback.total);
        onProgress(heard, playback.total);
        if (heard >= playback.total) finish(playback, 'played');
        else scheduleAhead(playback);
      };
      playback.timer = setInterval(tick, 250);
      scheduleAhead(playback).then(tick);
    });
  }

  return {
    play,
    stop() { if (current) finish(current, 'stopped'); },
    playing() { return current !== null; },
  };
})();

document.addEventListener('keydown', (event) => {
  if (event.key === 'Escape') player.stop();
});
