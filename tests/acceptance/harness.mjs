// Shared pieces of the acceptance suite: a fresh quorvel2 on a free loopback
// port, a private directory for its device file or a simulated printer that
// answers status requests, and bounded waits.
import { spawn } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { fileURLToPath } from 'node:url';

export const HERE = path.dirname(fileURLToPath(import.meta.url));

// CTest passes the built program; by hand the default build folder is used.
export const BINARY = process.env.Q2_BINARY || path.resolve(HERE, '../../build/src/quorvel2');

// The printer on a pseudo-terminal, built with the tests.
export const SIMULATED_PRINTER = process.env.Q2_SIMULATED_PRINTER ||
  path.resolve(HERE, '../../build/tests/support/simulated-printer');

export const CORS_LINES =
  'Access-Control-Allow-Origin: *\r\n' +
  'Access-Control-Allow-Headers: Content-Type, Authorization, Idempotency-Key\r\n' +
  'Access-Control-Allow-Methods: GET, POST, PUT, DELETE, PATCH, OPTIONS\r\n' +
  'Access-Control-Expose-Headers: Job-Id, Idempotent-Replayed\r\n';

// An answer with its job's id, new with every job, shown as "*".
export function withJobIdMasked(answer) {
  return answer.replace(/\r\nJob-Id: [^\r]*\r\n/, '\r\nJob-Id: *\r\n');
}

export const OK_HEAD =
  'HTTP/1.1 200 OK\r\n' +
  'Content-Type: text/plain\r\n' +
  'Content-Length: 0\r\n' +
  'Server: Ostrelin/1.1.3\r\n' +
  'Connection: close\r\n' +
  CORS_LINES +
  'Job-Id: *\r\n' +
  '\r\n';

export function sleep(ms) {
  return new Promise((resolve) => setTimeout(resolve, ms));
}

// Resolves with `value` after `ms` without keeping the process alive; for
// races against a child process, which keeps it alive by itself.
function after(ms, value) {
  return new Promise((resolve) => setTimeout(() => resolve(value), ms).unref());
}

// Rejects with `what` in the message when `promise` takes longer than `ms`.
export function within(ms, what, promise) {
  let timer;
  const timeout = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${ms} ms: ${what}`)), ms);
  });
  return Promise.race([promise, timeout]).finally(() => clearTimeout(timer));
}

// A folder of the test's own, removed after it.
export function makeTempDir(t) {
  const dir = fs.mkdtempSync('/tmp/q2a-');
  t.after(() => fs.rmSync(dir, { recursive: true, force: true }));
  return dir;
}

// An empty regular file that the server appends each job to.
export function makeDeviceFile(dir, name = 'lp') {
  const file = path.join(dir, name);
  fs.writeFileSync(file, Buffer.alloc(0));
  return file;
}

// A port the OS just handed out on 127.0.0.1, released again for the server.
export function freePort() {
  return new Promise((resolve, reject) => {
    const probe = net.createServer();
    probe.unref();
    probe.on('error', reject);
    probe.listen(0, '127.0.0.1', () => {
      const { port } = probe.address();
      probe.close(() => resolve(port));
    });
  });
}

function launchOnce(port, device, options, stateDir) {
  const args = ['-p', String(port), ...options];
  if (device !== null) args.push('-d', device);
  const env = { ...process.env, STATE_DIRECTORY: stateDir };
  const child = spawn(BINARY, args, { env, stdio: ['ignore', 'pipe', 'pipe'] });
  const server = { port, child, output: '', exited: null };
  child.stdout.setEncoding('utf8');
  child.stderr.setEncoding('utf8');
  child.stdout.on('data', (text) => { server.output += text; });
  child.stderr.on('data', (text) => { server.output += text; });
  const exited = new Promise((resolve) => {
    child.on('exit', (code, signal) => {
      server.exited = { code, signal };
      resolve(server.exited);
    });
    child.on('error', (error) => {
      server.exited = { code: null, signal: null, error };
      resolve(server.exited);
    });
  });
  server.exitedPromise = exited;
  const listening = new Promise((resolve) => {
    const check = () => {
      if (server.output.includes(`http://127.0.0.1:${port}/`)) {
        child.stdout.off('data', check);
        resolve(true);
      }
    };
    child.stdout.on('data', check);
    check();
  });
  return { server, ready: Promise.race([listening, exited.then(() => false), after(5000, false)]) };
}

async function stopServer(server) {
  if (server.exited) return server.exited;
  server.child.kill('SIGTERM');
  const result = await Promise.race([server.exitedPromise, after(3000, null)]);
  if (result) return result;
  server.child.kill('SIGKILL');
  return within(3000, 'quorvel2 to end after SIGKILL', server.exitedPromise);
}

// Starts quorvel2 on a free port with `device` (null: no device option) and
// further command-line `options`, its certificates in a folder of the
// test's own (server.stateDir), and waits until it says it is listening.
// Another process may take the port between probe and bind, so a start that
// fails is retried on a new port.
export async function startServer(t, device, options = []) {
  let lastOutput = '';
  const stateDir = makeTempDir(t);
  for (let attempt = 0; attempt < 3; attempt++) {
    const port = await freePort();
    const { server, ready } = launchOnce(port, device, options, stateDir);
    server.stateDir = stateDir;
    if (await ready) {
      t.after(() => stopServer(server));
      return server;
    }
    lastOutput = server.output;
    await stopServer(server);
  }
  throw new Error(`quorvel2 (${BINARY}) did not start listening; it printed:\n${lastOutput}`);
}

// The server must still be running after a client is done with it.
export function assertAlive(assert, server) {
  assert.equal(server.exited, null, `quorvel2 ended unexpectedly; it printed:\n${server.output}`);
}

// Waits until the device file holds at least `length` bytes, then a little
// longer so that bytes beyond the expected ones would show up too.
export async function readDeviceWhenFilled(file, length, timeoutMs = 5000) {
  const deadline = Date.now() + timeoutMs;
  while (Date.now() < deadline) {
    if (fs.statSync(file).size >= length) break;
    await sleep(20);
  }
  await sleep(100);
  return fs.readFileSync(file);
}

// Runs a program to its end with a bounded time, optionally feeding stdin.
export function run(command, args, { input = null, env = process.env, timeoutMs = 10000 } = {}) {
  return new Promise((resolve, reject) => {
    const started = Date.now();
    const child = spawn(command, args, { env, stdio: ['pipe', 'pipe', 'pipe'] });
    const stdout = [];
    const stderr = [];
    child.stdout.on('data', (chunk) => stdout.push(chunk));
    child.stderr.on('data', (chunk) => stderr.push(chunk));
    const timer = setTimeout(() => child.kill('SIGKILL'), timeoutMs);
    child.on('error', (error) => {
      clearTimeout(timer);
      reject(error);
    });
    child.on('close', (code, signal) => {
      clearTimeout(timer);
      resolve({
        code,
        signal,
        timedOut: signal === 'SIGKILL',
        elapsedMs: Date.now() - started,
        stdout: Buffer.concat(stdout),
        stderr: Buffer.concat(stderr).toString('utf8'),
      });
    });
    if (input !== null) child.stdin.end(input);
    else child.stdin.end();
  });
}

// Writes `data` on a raw connection, half-closes, and resolves with what
// came back once the server has closed its side.
export function rawExchange(port, data, timeoutMs = 5000) {
  const socket = net.connect({ host: '127.0.0.1', port });
  const exchange = new Promise((resolve, reject) => {
    const received = [];
    socket.on('data', (chunk) => received.push(chunk));
    socket.on('error', reject);
    socket.on('close', () => resolve(Buffer.concat(received)));
    socket.on('connect', () => socket.end(data));
  });
  return within(timeoutMs, `raw exchange with port ${port}`, exchange).finally(() => socket.destroy());
}

// Starts the simulated printer in `mode` (ready, near-end, paper-out,
// cover-open, offline, error) and resolves with its device path; it ends
// when the test does.
export async function startSimulatedPrinter(t, mode) {
  const child = spawn(SIMULATED_PRINTER, [mode], { stdio: ['pipe', 'pipe', 'pipe'] });
  t.after(() => {
    child.stdin.end();
    child.kill('SIGTERM');
  });
  let output = '';
  child.stdout.setEncoding('utf8');
  const devicePath = new Promise((resolve, reject) => {
    child.stdout.on('data', (text) => {
      output += text;
      if (output.includes('\n')) resolve(output.split('\n')[0]);
    });
    child.on('error', reject);
    child.on('exit', (code) => reject(new Error(`simulated-printer ended (${code}) before naming its device`)));
  });
  return within(5000, 'the simulated printer to start', devicePath);
}
