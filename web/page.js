// The page: controls become the command line's option words, the worker
// (kelvora.js) runs the core, and what it makes is downloaded or played.
'use strict';

const $ = (id) => document.getElementById(id);
const worker = new Worker('kelvora.js');
const waiting = new Map();  // job id -> { resolve, onUpdate }
let nextJob = 1;

worker.onmessage = (event) => {
  const answer = event.data;
  const job = waiting.get(answer.id);
  if (!job) return;
  if (answer.op !== 'done') {
    if (job.onUpdate) job.onUpdate(answer);
    return;
  }
  waiting.delete(answer.id);
  job.resolve(answer);
};

// Sends a job to the worker; resolves with its answer.
function ask(job, transfer = [], onUpdate = null) {
  job.id = nextJob++;
  return new Promise((resolve) => {
    waiting.set(job.id, { resolve, onUpdate });
    worker.postMessage(job, transfer);
  });
}

// The numeric controls and the option each stands for, in the command line's order.
const numericControls = [['baud', '-b'], ['carrier', '-w'], ['stop-bits', '-s']];

// Option words for writing: every control, as the command line would be given it.
function writeWords() {
  const words = ['-b', $('baud').value, '-c', $('channels').value, '-f', $('format').value,
    '-q', $('bits').value, '-r', $('rate').value, '-s', $('stop-bits').value,
    '-w', $('carrier').value, '--level=' + $('level').value];
  if ($('invert').checked) words.push('--invert');
  return words;
}

// Option words for reading: only the speed settings changed from their defaults,
// so that the reader finds the others from the recording.
function readWords() {
  const words = [];
  for (const [id, option] of numericControls) {
    if ($(id).value !== $(id).defaultValue) words.push(option, $(id).value);
  }
  return words;
}

function say(text, refused = false) {
  $('message').textContent = text;
  $('message').classList.toggle('refused', refused);
}

// The download name: the chosen file's name with its extension replaced.
function nameFor(fileName, extension) {
  const dot = fileName.lastIndexOf('.');
  return (dot > 0 ? fileName.slice(0, dot) : fileName) + extension;
}

function download(blob, name) {
  const link = document.createElement('a');
  link.href = URL.createObjectURL(blob);
  link.download = name;
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(link.href), 60000);
}

function megabytes(bytes) { return (bytes / 1e6).toFixed(bytes < 1e7 ? 2 : 1) + ' MB'; }

let busy = false;
function setBusy(on) {
  busy = on;
  for (const id of ['save', 'play', 'read']) $(id).disabled = on;
}

// Shows what the settings make of the chosen image, or the refusal, as they change.
async function check() {
  const file = $('image').files[0];
  const answer = await ask({ op: 'check', words: writeWords(), imageSize: file ? file.size : 0 });
  if (answer.refused) {
    say(answer.refused, true);
    return;
  }
  if ($('message').classList.contains('refused')) say('');
  if (!player.playing()) {
    $('progress').value = answer.progress;
    $('progress-bar').value = 0;
  }
}

// Makes the WAV in the worker; resolves with its Blob, or null after saying why not.
async function makeWav(purpose) {
  const file = $('image').files[0];
  if (!file) {
    say('choose a tape image first', true);
    return null;
  }
  say(purpose + ' ' + file.name + '…');
  const image = await file.arrayBuffer();
  const answer = await ask({ op: 'write', words: writeWords(), image }, [image], (update) => {
    if (update.size > 0) say(purpose + ' ' + file.name + '… ' + Math.floor(100 * update.made / update.size) + ' %');
  });
  if (answer.refused) {
    say(answer.refused, true);
    return null;
  }
  return answer.blob;
}

async function save() {
  if (busy) return;
  setBusy(true);
  try {
    const blob = await makeWav('making the recording of');
    if (!blob) return;
    const name = nameFor($('image').files[0].name, '.wav');
    download(blob, name);
    say('saved ' + name + ' (' + megabytes(blob.size) + ')');
  } finally {
    setBusy(false);
  }
}

async function play() {
  if (busy) return;
  setBusy(true);
  let blob = null;
  try {
    blob = await makeWav('making the sound of');
  } finally {
    setBusy(false);
  }
  if (!blob) return;
  $('play').disabled = true;
  $('stop').disabled = false;
  $('stop').focus();
  say('playing ' + $('image').files[0].name);
  const showProgress = async (frame, total) => {
    const answer = await ask({ op: 'progress', frame });
    $('progress').value = answer.text;
    $('progress-bar').value = total > 0 ? frame / total : 0;
  };
  const ending = await player.play(blob, showProgress);
  $('play').disabled = false;
  $('stop').disabled = true;
  if (ending === 'played') say('played to the end');
  else say(ending, ending !== 'stopped');
}

async function read() {
  if (busy) return;
  const file = $('recording').files[0];
  if (!file) {
    say('choose a recording first', true);
    return;
  }
  setBusy(true);
  $('summary').textContent = '';
  try {
    say('reading ' + file.name + '…');
    const answer = await readRecording(file, readWords());
    $('summary').textContent = answer.summary || '';
    if (answer.refused) {
      say(answer.refused, true);
      return;
    }
    const name = nameFor(file.name, '.img');
    download(answer.image, name);
    say((answer.status === 0 ? 'read ' : 'read with errors: ') + name + ' (' + answer.image.size + ' bytes)',
      answer.status !== 0);
  } finally {
    setBusy(false);
  }
}

// Decodes the recording and reads it back in the worker.
async function readRecording(file, words) {
  let frames;
  try {
    frames = await recordingFrames(file);
  } catch (e) {
    return { refused: 'cannot read ' + file.name + ': ' + (e.message || 'the browser cannot decode it') };
  }
  return ask({ op: 'read', words, name: file.name, ...frames }, [frames.samples]);
}

$('save').addEventListener('click', save);
$('play').addEventListener('click', play);
$('stop').addEventListener('click', () => player.stop());
$('read').addEventListener('click', read);
for (const id of ['image', 'format', 'baud', 'carrier', 'stop-bits', 'rate', 'bits', 'channels', 'level', 'invert']) {
  $(id).addEventListener(id === 'image' || $(id).tagName === 'SELECT' || id === 'invert' ? 'change' : 'input', check);
}
check();
// Served over http(s) by any host, the page keeps its files for use offline.
if ('serviceWorker' in navigator && window.isSecureContext) {
  navigator.serviceWorker.register('offline.js').catch(() => {});
}
