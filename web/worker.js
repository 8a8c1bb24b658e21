// The worker's side of the page: every message is one job for the core, and
// every job is answered with a message carrying the same id. The WAV leaves
// the core a buffer at a time and becomes one Blob; the page never holds the
// whole recording in its own memory.

// Calls work(count, words) with the option words laid out as C strings.
function withWords(words, work) {
  var pointers = words.map(function (word) {
    var n = lengthBytesUTF8(word) + 1;
    var p = _malloc(n);
    stringToUTF8(word, p, n);
    return p;
  });
  var array = _malloc(4 * Math.max(1, pointers.length));
  pointers.forEach(function (p, i) { HEAPU32[(array >> 2) + i] = p; });
  try {
    return work(pointers.length, array);
  } finally {
    pointers.forEach(function (p) { _free(p); });
    _free(array);
  }
}

function lastMessage() { return UTF8ToString(_web_message()).trim(); }

// Sizes the recording of an image of imageSize bytes: its bytes and length, or the refusal.
function checkJob(job) {
  var size = withWords(job.words, function (n, w) { return _web_plan(n, w, job.imageSize); });
  if (size < 0) return { refused: lastMessage() };
  return { size: size, progress: UTF8ToString(_web_progress(0)) };
}

function writeJob(job) {
  var image = new Uint8Array(job.image);
  var imagePointer = _malloc(Math.max(1, image.length));
  HEAPU8.set(image, imagePointer);
  var chunks = [];
  var made = 0;
  var told = 0;
  var planned = 0;
  Module['takeWavBytes'] = function (pointer, count) {
    chunks.push(HEAPU8.slice(pointer, pointer + count));
    made += count;
    if (made - told >= 8 << 20) {
      told = made;
      postMessage({ id: job.id, op: 'made', made: made, size: planned });
    }
  };
  var status;
  try {
    status = withWords(job.words, function (n, w) {
      planned = _web_plan(n, w, image.length);
      if (planned < 0) return 1;
      postMessage({ id: job.id, op: 'made', made: 0, size: planned });
      return _web_write(n, w, imagePointer, image.length);
    });
  } finally {
    _free(imagePointer);
    Module['takeWavBytes'] = null;
  }
  if (status !== 0) return { refused: lastMessage() };
  return { blob: new Blob(chunks, { type: 'audio/wav' }), size: made };
}

function progressJob(job) {
  return { text: UTF8ToString(_web_progress(job.frame)) };
}

// Reads a decoded recording back: the image as a Blob, the summary, the status.
function readJob(job) {
  var samples = new Uint8Array(job.samples);
  var samplesPointer = _malloc(Math.max(1, samples.length));
  HEAPU8.set(samples, samplesPointer);
  var namePointer = _malloc(lengthBytesUTF8(job.name) + 1);
  stringToUTF8(job.name, namePointer, lengthBytesUTF8(job.name) + 1);
  var chunks = [];
  Module['takeImageBytes'] = function (pointer, count) { chunks.push(HEAPU8.slice(pointer, pointer + count)); };
  var status;
  try {
    status = withWords(job.words, function (n, w) {
      return _web_read(n, w, namePointer, job.rate, job.channels, job.bits, job.asShort ? 1 : 0, samplesPointer, job.frames);
    });
  } finally {
    _free(samplesPointer);
    _free(namePointer);
    Module['takeImageBytes'] = null;
  }
  var answer = { status: status, summary: UTF8ToString(_web_summary()), image: new Blob(chunks) };
  if (status !== 0 && lastMessage() !== '') answer.refused = lastMessage();
  return answer;
}

var jobKinds = { check: checkJob, write: writeJob, progress: progressJob, read: readJob };

function runJob(job) {
  var answer;
  try {
    answer = jobKinds[job.op](job);
  } catch (e) {
    answer = { refused: 'internal error: ' + e };
  }
  answer.id = job.id;
  answer.op = 'done';
  postMessage(answer);
}
