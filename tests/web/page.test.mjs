// Drives the web page in Debian's chromium: files chosen, controls set,
// buttons pressed, downloads taken and compared byte for byte with what the
// command line writes with the same settings.
//   KELVORA: the command-line binary; KELVORA_SITE: the built page (site/).
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn, spawnSync, execFileSync } from 'node:child_process';
import { mkdtempSync, writeFileSync, readFileSync, existsSync, readdirSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { basename, dirname, join, resolve } from 'node:path';
import { randomBytes } from 'node:crypto';
import puppeteer from 'puppeteer-core';

const here = new URL('.', import.meta.url).pathname;
const kelvora = resolve(process.env.KELVORA || join(here, '../../build/kelvora'));
const site = resolve(process.env.KELVORA_SITE || join(here, '../../build-web/site'));
const work = mkdtempSync(join(tmpdir(), 'kelvora-web-'));
const downloads = join(work, 'downloads');

let server, browser, page, cdp;
const consoleErrors = [];
const finished = new Map();  // suggested file name -> resolve of the wait for it

function seeded(n, seed) {
  const bytes = Buffer.alloc(n);
  let x = seed >>> 0;
  for (let i = 0; i < n; ++i) {
    x = (Math.imul(x, 1664525) + 1013904223) >>> 0;
    bytes[i] = x >>> 24;
  }
  return bytes;
}

// Runs the command line writing to a file: its status, the file's bytes and its message.
function cli(words, image) {
  const output = join(work, 'cli.out');
  rmSync(output, { force: true });
  let status = 0;
  let said = '';
  try {
    execFileSync(kelvora, [...words, image, output], { encoding: 'utf8' });
  } catch (e) {
    status = e.status;
    said = e.stdout.trim();
  }
  return { status, bytes: existsSync(output) ? readFileSync(output) : null, said };
}

before(async () => {
  server = spawn('python3', ['-u', '-m', 'http.server', '--bind', '127.0.0.1', '0', '-d', site],
    { stdio: ['ignore', 'pipe', 'ignore'] });
  const port = await new Promise((done) => {
    server.stdout.on('data', (text) => {
      const m = /port (\d+)/.exec(text.toString());
      if (m) done(m[1]);
    });
  });
  browser = await puppeteer.launch({
    executablePath: process.env.CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--autoplay-policy=no-user-gesture-required'],
  });
  page = await browser.newPage();
  page.on('console', (m) => { if (m.type() === 'error') consoleErrors.push(m.text()); });
  page.on('pageerror', (e) => consoleErrors.push(String(e)));
  page.on('requestfailed', (r) => consoleErrors.push('failed: ' + r.url()));
  page.on('request', (r) => {
    if (!r.url().startsWith(`http://127.0.0.1:${port}/`) && !r.url().startsWith('blob:')) consoleErrors.push('elsewhere: ' + r.url());
  });
  cdp = await browser.target().createCDPSession();
  await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: downloads, eventsEnabled: true });
  const names = new Map();
  cdp.on('Browser.downloadWillBegin', (e) => names.set(e.guid, e.suggestedFilename));
  cdp.on('Browser.downloadProgress', (e) => {
    if (e.state !== 'completed') return;
    const name = names.get(e.guid);
    if (finished.has(name)) finished.get(name)();
  });
  await page.goto(`http://127.0.0.1:${port}/`, { waitUntil: 'load' });
});

after(async () => {
  if (browser) await browser.close();
  if (server) server.kill();
  rmSync(work, { recursive: true, force: true });
});

// Sets the page's controls: text fields and selects by id, invert as a boolean.
async function setControls(controls) {
  await page.evaluate((controls) => {
    const defaults = { format: 'b2.0 h3.5 d16 h0.5 d h0.05 b0.6', baud: '1200', carrier: '1200',
      'stop-bits': '3', rate: '9600', bits: '8', channels: '1', level: '100', invert: false };
    for (const [id, value] of Object.entries({ ...defaults, ...controls })) {
      const el = document.getElementById(id);
      if (id === 'invert') el.checked = value;
      else el.value = value;
      el.dispatchEvent(new Event(el.tagName === 'SELECT' || id === 'invert' ? 'change' : 'input'));
    }
  }, controls);
}

async function chooseFile(id, path) {
  await (await page.$('#' + id)).uploadFile(path);
}

// Presses a button and waits for the download of that name; returns its bytes and the time taken.
async function pressForDownload(button, name) {
  const done = new Promise((r) => finished.set(name, r));
  const start = Date.now();
  await page.click('#' + button);
  let timer;
  const late = new Promise((_, fail) => {
    timer = setTimeout(async () => fail(new Error(`no ${name} after 60 s; the page says: ${await message()}`)), 60000);
  });
  await Promise.race([done, late]).finally(() => clearTimeout(timer));
  const ms = Date.now() - start;
  finished.delete(name);
  const bytes = readFileSync(join(downloads, name));
  rmSync(join(downloads, name));
  return { bytes, ms };
}

async function message() { return page.$eval('#message', (el) => el.textContent); }

test('save writes the command line\'s bytes for a matrix of settings', async () => {
  const cases = [
    { name: 'defaults', controls: {}, words: [], size: 700 },
    { name: 'io16', controls: { format: 'io', bits: '16', rate: '44100' }, words: ['-f', 'io', '-q', '16', '-r', '44100'], size: 500 },
    { name: 'slow', controls: { baud: '300', carrier: '600', channels: '2', level: '63.5', invert: true },
      words: ['-b', '300', '-w', '600', '-c', '2', '--level=63.5', '--invert'], size: 300 },
  ];
  for (const c of cases) {
    const image = join(work, c.name + '.img');
    writeFileSync(image, seeded(c.size, c.size));
    const expected = cli(c.words, image).bytes;
    await chooseFile('image', image);
    await setControls(c.controls);
    const { bytes } = await pressForDownload('save', c.name + '.wav');
    assert.ok(bytes.equals(expected), `${c.name}: ${bytes.length} bytes, the command line ${expected.length}`);
  }
});

test('a 1 MiB image: the same bytes, timed against a plain download of that size', async () => {
  const image = join(work, 'large.img');
  writeFileSync(image, seeded(1 << 20, 3));
  const expected = cli([], image).bytes;
  await chooseFile('image', image);
  await setControls({});
  const saved = await pressForDownload('save', 'large.wav');
  assert.ok(saved.bytes.equals(expected), `${saved.bytes.length} bytes, the command line ${expected.length}`);
  // The yardstick: the page makes a blob of the same size and hands it over.
  const plain = new Promise((r) => finished.set('plain.bin', r));
  const start = Date.now();
  await page.evaluate((size) => {
    const data = new Uint8Array(size);
    for (let i = 0; i < size; i += 4096) data[i] = i & 255;
    const link = document.createElement('a');
    link.href = URL.createObjectURL(new Blob([data]));
    link.download = 'plain.bin';
    link.click();
  }, expected.length);
  await plain;
  const plainMs = Date.now() - start;
  rmSync(join(downloads, 'plain.bin'));
  console.log(`# 1 MiB image, ${expected.length} byte WAV: save ${saved.ms} ms, plain blob download ${plainMs} ms, ratio ${(saved.ms / plainMs).toFixed(2)}`);
});

test('a refused setting is refused in the command line\'s words and nothing is saved', async () => {
  await setControls({ rate: '9000' });
  await page.click('#save');
  await page.waitForFunction(() => document.getElementById('message').classList.contains('refused'));
  assert.equal(await message(), cli(['-r', '9000'], '/dev/null').said);
  await setControls({ level: '0' });
  await page.waitForFunction(() => document.getElementById('message').textContent === 'illegal level');
  await setControls({});
  await page.waitForFunction(() => document.getElementById('message').textContent === '');
  assert.deepEqual(readdirSync(downloads).filter((f) => !f.endsWith('.crdownload')), []);
});

test('play shows elapsed and total time and the section heard, and stops', async () => {
  const image = join(work, 'tune.img');
  writeFileSync(image, seeded(40, 9));
  await chooseFile('image', image);
  await setControls({ format: 'b0.2 h1.2 d', baud: '2400', carrier: '2400', rate: '19200' });
  await page.click('#play');
  await page.waitForFunction(() => /^0:01 \/ 0:01  (leader|data block 1 of 1)$/.test(document.getElementById('progress').value), { timeout: 15000 });
  assert.equal(await page.$eval('#stop', (b) => b.disabled), false);
  await page.click('#stop');
  await page.waitForFunction(() => document.getElementById('message').textContent === 'stopped');
  assert.equal(await page.$eval('#play', (b) => b.disabled), false);
});

// Reads a recording on the page: the downloaded image, the summary shown and the message.
async function readOnPage(path, name, controls) {
  await chooseFile('recording', path);
  await setControls(controls);
  const { bytes } = await pressForDownload('read', name);
  return { bytes, summary: await page.$eval('#summary', (el) => el.textContent), said: await message() };
}

// Runs the command line's --read: its status, image, summary and message.
function cliRead(words, recording) {
  const output = join(work, 'cli.img');
  rmSync(output, { force: true });
  const run = spawnSync(kelvora, ['--read', ...words, basename(recording), output], { encoding: 'utf8', cwd: dirname(recording) });
  return { status: run.status, summary: run.stderr, said: run.stdout.trim(), bytes: existsSync(output) ? readFileSync(output) : null };
}

test('read gives the command line\'s image and summary, for kelvora\'s tape and another machine\'s', async () => {
  const image = join(work, 'back.img');
  writeFileSync(image, seeded(600, 5));
  const tape = join(work, 'back.wav');
  execFileSync(kelvora, ['-f', 'io', image, tape]);
  const ours = await readOnPage(tape, 'back.img', {});
  const cliOurs = cliRead([], tape);
  assert.ok(ours.bytes.equals(readFileSync(image)), 'kelvora\'s tape read back');
  assert.equal(ours.summary, cliOurs.summary);

  // Another machine's routine: smoothed square waves with jitter, one stop cell and idle cells, as FLAC.
  const foreign = join(work, 'foreign.wav');
  const sent = join(work, 'foreign.sent');
  execFileSync('/usr/bin/python3', [join(here, '../tools/foreign_tape.py'), foreign, '--bytes', '300', '--bytes-out', sent,
    '--rate', '32000', '--rc', '6000', '--jitter', '0.02', '--idle', '0-2']);
  const flac = join(work, 'foreign.flac');
  execFileSync('sox', [foreign, flac]);
  const theirs = await readOnPage(flac, 'foreign.img', { 'stop-bits': '1' });
  assert.ok(theirs.bytes.equals(readFileSync(sent)), 'the foreign tape read back');
  assert.match(theirs.summary, /read 300 bytes, no framing error/);
  assert.ok(theirs.bytes.equals(cliRead(['-s', '1'], flac).bytes));
});

test('a recording without a tape is refused in the command line\'s words', async () => {
  const quiet = join(work, 'quiet.wav');
  execFileSync('sox', ['-n', '-r', '8000', '-b', '16', '-c', '1', quiet, 'trim', '0', '1']);
  await chooseFile('recording', quiet);
  await setControls({});
  await page.click('#read');
  await page.waitForFunction(() => document.getElementById('message').classList.contains('refused'));
  assert.equal(await message(), cliRead([], quiet).said);
});

test('once loaded, the page works with its server gone', async () => {
  await page.waitForFunction(() => navigator.serviceWorker.controller !== null);
  await page.reload({ waitUntil: 'load' });  // every file once more, now through the kept copies
  await page.waitForFunction(async () => {
    const kept = await (await caches.open('kelvora-page')).keys();
    return kept.some((r) => r.url.endsWith('/kelvora.wasm'));
  });
  server.kill();
  await new Promise((done) => server.once('exit', done));
  await page.reload({ waitUntil: 'load' });
  await setControls({ format: 'h1' });
  await page.waitForFunction(() => document.getElementById('progress').value === '0:00 / 0:01  leader');
});

test('the page logged no error and asked no other host', () => {
  assert.deepEqual(consoleErrors, []);
});
