// Command-line clients as an administrator or a README would use them: the
// CUPS socket backend run by hand, a CUPS queue, curl and netcat.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';

import {
  OK_HEAD, assertAlive, withJobIdMasked, makeDeviceFile, makeTempDir, readDeviceWhenFilled, run, sleep, startServer,
} from './harness.mjs';

// A receipt as a print job file: initialise, a double-size title, code page
// 858 with a euro sign, more lines than one receive holds, feed and cut.
function receiptJob(lines) {
  const parts = [
    Buffer.from([0x1b, 0x40]),
    Buffer.from([0x1b, 0x74, 19]),
    Buffer.from([0x1d, 0x21, 0x11]), Buffer.from('QUORVEL2 CAFE\n', 'latin1'),
    Buffer.from([0x1d, 0x21, 0x00]), Buffer.from('Total 12,50 ', 'latin1'), Buffer.from([0xd5, 0x0a]),
  ];
  for (let i = 0; i < lines; i++) parts.push(Buffer.from(`line ${i}: ${'.'.repeat(40)}\n`, 'latin1'));
  parts.push(Buffer.from([0x00, 0xff, 0x0a]), Buffer.from([0x1b, 0x64, 0x03, 0x1d, 0x56, 0x00]));
  return Buffer.concat(parts);
}

// The backend ships in Debian's cups package; its postinst links it into
// backend/, the package itself keeps it in backend-available/.
function socketBackend() {
  for (const candidate of ['/usr/lib/cups/backend/socket', '/usr/lib/cups/backend-available/socket']) {
    if (fs.existsSync(candidate)) return candidate;
  }
  throw new Error('the CUPS socket backend is missing: install the cups package (deps/apt-test.txt)');
}

test('CUPS socket backend delivers a job and finishes promptly', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);
  const job = receiptJob(800);
  const jobFile = path.join(dir, 'job.bin');
  fs.writeFileSync(jobFile, job);

  // Run as the scheduler would: DEVICE_URI in the environment and
  // job-id user title copies options file as arguments. After sending, the
  // backend half-closes and waits for the printer to close its side.
  const env = { PATH: process.env.PATH, DEVICE_URI: `socket://127.0.0.1:${server.port}` };
  const result = await run(socketBackend(), ['42', 'cashier', 'receipt', '1', '', jobFile],
    { env, timeoutMs: 10000 });
  assert.equal(result.timedOut, false, `backend did not finish within 10 s; it said:\n${result.stderr}`);
  assert.equal(result.code, 0, `backend failed; it said:\n${result.stderr}`);
  const written = [...result.stderr.matchAll(/Wrote (\d+) bytes of print data/g)]
    .reduce((sum, match) => sum + Number(match[1]), 0);
  assert.equal(written, job.length, 'the backend reports writing the whole job');
  assert.match(result.stderr, /INFO: Print file sent\./);

  const printed = await readDeviceWhenFilled(device, job.length);
  assert.ok(printed.equals(job), `device holds ${printed.length} bytes, the job ${job.length}`);
  assertAlive(assert, server);
  t.diagnostic(`socket backend: ${job.length} bytes in ${result.elapsedMs} ms`);
});

// A CUPS scheduler of the test's own, configured in a temporary folder and
// listening on a socket there; resolves with that socket once it listens.
async function startCups(t, dir) {
  const root = path.join(dir, 'cups');
  for (const sub of ['spool', 'tmp', 'cache', 'state', 'log']) fs.mkdirSync(path.join(root, sub), { recursive: true });
  // The backends run as the scheduler's own user and must reach the spool.
  fs.chmodSync(dir, 0o755);
  fs.chmodSync(root, 0o755);
  const socket = path.join(root, 'cups.sock');
  fs.writeFileSync(path.join(root, 'cupsd.conf'), [
    `Listen ${socket}`, 'WebInterface No', 'Browsing No',
    '<Location />', 'Order allow,deny', 'Allow all', '</Location>',
    '<Policy default>', '<Limit All>', 'Order deny,allow', '</Limit>', '</Policy>', '',
  ].join('\n'));
  fs.writeFileSync(path.join(root, 'cups-files.conf'), [
    `ServerRoot ${root}`, `RequestRoot ${root}/spool`, `TempDir ${root}/tmp`, `CacheDir ${root}/cache`,
    `StateDir ${root}/state`, `AccessLog ${root}/log/access_log`, `ErrorLog ${root}/log/error_log`,
    `PageLog ${root}/log/page_log`, 'ServerBin /usr/lib/cups', 'DataDir /usr/share/cups', '',
  ].join('\n'));
  const cupsd = spawn('/usr/sbin/cupsd', ['-f', '-c', `${root}/cupsd.conf`, '-s', `${root}/cups-files.conf`],
    { stdio: 'ignore' });
  t.after(() => cupsd.kill('SIGTERM'));
  for (let tries = 0; tries < 250 && !fs.existsSync(socket); tries++) await sleep(20);
  assert.ok(fs.existsSync(socket), 'cupsd did not start (the cups package is in deps/apt-test.txt)');
  return socket;
}

test('CUPS prints plain text through a raw socket:// queue', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);
  const cups = await startCups(t, dir);
  const added = await run('/usr/sbin/lpadmin',
    ['-h', cups, '-p', 'receipts', '-E', '-v', `socket://127.0.0.1:${server.port}`]);
  assert.equal(added.code, 0, added.stderr);
  // What a shop's documentation shows: echo hello | lp -d QUEUE
  const sent = await run('bash', ['-c', `echo hello | lp -h '${cups}' -d receipts`]);
  assert.equal(sent.code, 0, sent.stderr);
  assert.equal((await readDeviceWhenFilled(device, 6, 15000)).toString('latin1'), 'hello\n');
  assertAlive(assert, server);
});

test('curl POSTs a receipt file: exact answer head, job on the device', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);
  const job = receiptJob(400);
  const jobFile = path.join(dir, 'receipt.bin');
  fs.writeFileSync(jobFile, job);

  // -i puts the answer head in front of the (empty) body on stdout.
  const result = await run('curl', ['-sS', '-i', '--max-time', '8', '-X', 'POST',
    '--data-binary', `@${jobFile}`, `http://127.0.0.1:${server.port}/escpos`]);
  assert.equal(result.code, 0, `curl failed: ${result.stderr}`);
  assert.equal(withJobIdMasked(result.stdout.toString('latin1')), OK_HEAD);

  const printed = await readDeviceWhenFilled(device, job.length);
  assert.ok(printed.equals(job), `device holds ${printed.length} bytes, the job ${job.length}`);
  assertAlive(assert, server);
  t.diagnostic(`curl: ${job.length} bytes printed, first bytes ${job.subarray(0, 6).toString('hex')}`);
});

test('curl sees a failed print as 503 and no device as 503 with CORS and the reason', async (t) => {
  const dir = makeTempDir(t);
  const missing = path.join(dir, 'nolp');
  const broken = await startServer(t, missing);
  const failed = await run('curl', ['-sS', '-i', '--max-time', '8', '-X', 'POST',
    '--data-binary', '\x1b@x', `http://127.0.0.1:${broken.port}/escpos`]);
  assert.equal(failed.code, 0, failed.stderr);
  const failedText = failed.stdout.toString('latin1');
  assert.match(failedText, /^HTTP\/1\.1 503 Service Unavailable\r\n/);
  assert.ok(failedText.includes('Access-Control-Allow-Origin: *\r\n'), failedText);
  assert.equal(fs.existsSync(missing), false, 'the server must not create the device');

  const idle = await startServer(t, null);
  const refused = await run('curl', ['-sS', '-i', '--max-time', '8', '-X', 'POST',
    '--data-binary', '\x1b@x', `http://127.0.0.1:${idle.port}/escpos`]);
  assert.equal(refused.code, 0, refused.stderr);
  const refusedText = refused.stdout.toString('latin1');
  assert.match(refusedText, /^HTTP\/1\.1 503 Service Unavailable\r\n/);
  assert.ok(refusedText.includes('Access-Control-Allow-Origin: *\r\n'), refusedText);
  assert.ok(refusedText.endsWith('\r\n\r\nNo printer device is configured; nothing was printed.\n'), refusedText);
  assertAlive(assert, broken);
  assertAlive(assert, idle);
});

test('curl streaming a chunked body prints it whole', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);
  const job = receiptJob(3000);
  const jobFile = path.join(dir, 'chunked.bin');
  fs.writeFileSync(jobFile, job);
  const sent = await run('curl', ['-sS', '-i', '--max-time', '8', '-H', 'Transfer-Encoding: chunked',
    '--data-binary', `@${jobFile}`, `http://127.0.0.1:${server.port}/escpos`]);
  assert.equal(sent.code, 0, sent.stderr);
  assert.match(sent.stdout.toString('latin1'), /^HTTP\/1\.1 200 OK\r\n/);
  assert.ok((await readDeviceWhenFilled(device, job.length)).equals(job), 'the device holds the whole job');
  assertAlive(assert, server);
});

test('printf piped into nc -N prints the raw stream', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);

  // What a README shows; printf's \x escapes are those of bash's builtin.
  const script = `printf '\\x1b@Hello from nc\\n\\x1dV\\x00' | nc -N 127.0.0.1 ${server.port}`;
  const first = await run('bash', ['-c', script], { timeoutMs: 8000 });
  assert.equal(first.timedOut, false, 'nc -N must end once the server closes');
  assert.equal(first.code, 0, first.stderr);
  assert.equal(first.stdout.length, 0, 'a raw stream gets no answer');
  const expectedFirst = Buffer.from('\x1b@Hello from nc\n\x1dV\x00', 'latin1');
  assert.ok((await readDeviceWhenFilled(device, expectedFirst.length)).equals(expectedFirst));

  // A file piped through nc: larger than one receive, with NUL and 0xFF.
  const job = receiptJob(600);
  const jobFile = path.join(dir, 'job.bin');
  fs.writeFileSync(jobFile, job);
  const second = await run('bash', ['-c', `nc -N 127.0.0.1 ${server.port} < '${jobFile}'`], { timeoutMs: 8000 });
  assert.equal(second.code, 0, second.stderr);
  const expected = Buffer.concat([expectedFirst, job]);
  const printed = await readDeviceWhenFilled(device, expected.length);
  assert.ok(printed.equals(expected), `device holds ${printed.length} bytes, expected ${expected.length}`);
  assertAlive(assert, server);
  t.diagnostic(`nc: ${expectedFirst.length} + ${job.length} bytes printed`);
});
