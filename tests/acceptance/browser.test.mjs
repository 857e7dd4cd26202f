// A till page in headless Chromium, served from another origin, builds a
// receipt with a browser ESC/POS encoder and posts it to quorvel2. The
// browser's CORS rules decide what the page may read, so this is where a
// missing or wrong Access-Control line would show. With --allow-origin, a
// page from a second loopback address stands for a site the shop did not list.
// Over HTTPS the browser verifies the server's certificate against the
// server's own certificate authority, which it was told to trust.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import https from 'node:https';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';

import { chromium } from 'playwright-core';

import {
  CORS_LINES, HERE, assertAlive, makeDeviceFile, makeTempDir, readDeviceWhenFilled, run, sleep, startServer, within,
} from './harness.mjs';

const CHROMIUM = '/usr/bin/chromium';
const ENCODER = path.join(HERE, 'node_modules/@point-of-sale/receipt-printer-encoder/dist/receipt-printer-encoder.umd.js');
const PAGE = path.join(HERE, 'page/index.html');
// Where screenshots go: CTest names the test's own folder.
const OUTPUT = process.env.Q2_TEST_OUTPUT_DIR || path.resolve(HERE, '../../build/tests/acceptance/output');

function listen(server, host = '127.0.0.1') {
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(0, host, () => resolve(server.address().port));
  });
}

// The page's own origin: a static server on `host` for the page and the
// encoder, over HTTPS with `tls` ({ key, cert }) when given.
async function startPageServer(host, tls = null) {
  const files = {
    '/index.html': ['text/html; charset=utf-8', PAGE],
    '/receipt-printer-encoder.umd.js': ['text/javascript', ENCODER],
  };
  const serve = (request, response) => {
    const file = files[new URL(request.url, 'http://page').pathname];
    if (!file) {
      response.writeHead(404).end();
      return;
    }
    response.writeHead(200, { 'Content-Type': file[0], 'Cache-Control': 'no-store' });
    response.end(fs.readFileSync(file[1]));
  };
  const server = tls ? https.createServer(tls, serve) : http.createServer(serve);
  const port = await listen(server, host);
  const scheme = tls ? 'https' : 'http';
  // The browser's kept-alive connections would hold the close up.
  const close = () => new Promise((resolve) => { server.close(resolve); server.closeAllConnections(); });
  return { port, origin: `${scheme}://${host}:${port}`, close };
}

// A transparent TCP relay in front of quorvel2 that keeps what went each
// way on every connection, so the test sees the preflight and the answers
// the browser got, not only what the page was allowed to read.
async function startRelay(t, targetPort) {
  const exchanges = [];
  const sockets = new Set();
  const server = net.createServer({ allowHalfOpen: true }, (client) => {
    const exchange = { request: [], response: [] };
    exchanges.push(exchange);
    const upstream = net.connect({ host: '127.0.0.1', port: targetPort, allowHalfOpen: true });
    for (const socket of [client, upstream]) {
      sockets.add(socket);
      socket.on('close', () => sockets.delete(socket));
      socket.on('error', () => { client.destroy(); upstream.destroy(); });
    }
    client.on('data', (chunk) => exchange.request.push(chunk));
    upstream.on('data', (chunk) => exchange.response.push(chunk));
    client.pipe(upstream);
    upstream.pipe(client);
  });
  const port = await listen(server);
  t.after(() => {
    for (const socket of sockets) socket.destroy();
    return new Promise((resolve) => server.close(resolve));
  });
  const text = (chunks) => Buffer.concat(chunks).toString('latin1');
  return {
    port,
    connections: () => exchanges.length,
    // Answered exchanges whose request starts with `method /escpos`, as
    // text. A request that the browser sent on a connection the server had
    // already closed gets no answer and is retried by the browser; it is
    // left out here, and the device check still catches a double print.
    find: (method) => exchanges
      .map((e) => ({ request: text(e.request), response: text(e.response) }))
      .filter((e) => e.request.startsWith(`${method} /escpos HTTP/1.1\r\n`) && e.response !== ''),
  };
}

let browser = null;
let pageServer = null;
let otherPageServer = null; // a site the shop does not list

before(async () => {
  if (!fs.existsSync(CHROMIUM)) throw new Error(`${CHROMIUM} is missing: install chromium (deps/apt-test.txt)`);
  pageServer = await startPageServer('127.0.0.1');
  otherPageServer = await startPageServer('127.0.0.2');
  const profile = fs.mkdtempSync('/tmp/q2a-profile-');
  browser = {
    profile,
    context: await chromium.launchPersistentContext(profile, {
      executablePath: CHROMIUM,
      headless: true,
      timeout: 30000,
      args: [
        '--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
        '--disable-background-networking', '--disable-component-update', '--disable-sync',
        '--disable-quic',
      ],
    }),
  };
});

after(async () => {
  if (browser) {
    await within(15000, 'chromium to close', browser.context.close()).catch(() => {});
    fs.rmSync(browser.profile, { recursive: true, force: true });
  }
  if (pageServer) await pageServer.close();
  if (otherPageServer) await otherPageServer.close();
});

// Opens the till page, presses Print and returns what the page reported.
async function printFromPage(t, printerPort, { context = browser.context, pageOrigin = pageServer.origin,
  printer = `http://127.0.0.1:${printerPort}`, key = '' } = {}) {
  const page = await context.newPage();
  t.after(() => page.close());
  const problems = [];
  page.on('pageerror', (error) => problems.push(String(error)));
  await page.goto(`${pageOrigin}/index.html?printer=${encodeURIComponent(printer)}&key=${key}`, { timeout: 15000 });
  await page.click('#print', { timeout: 5000 });
  await page.waitForFunction(() => document.getElementById('result').textContent !== '', null, { timeout: 15000 });
  assert.deepEqual(problems, [], 'the page ran without script errors');
  const result = JSON.parse(await page.textContent('#result'));
  result.sent = Buffer.from(result.sent);
  result.page = page;
  return result;
}

function assertPreflightAnswered(relay) {
  const preflights = relay.find('OPTIONS');
  assert.equal(preflights.length, 1, 'the browser sent one preflight');
  assert.match(preflights[0].request, /\r\nAccess-Control-Request-Method: POST\r\n/i);
  assert.match(preflights[0].request, /\r\nAccess-Control-Request-Headers: content-type\r\n/i);
  assert.ok(preflights[0].response.startsWith('HTTP/1.1 200 OK\r\n'), preflights[0].response);
  assert.ok(preflights[0].response.includes(CORS_LINES), preflights[0].response);
}

test('a page from another origin prints a receipt through fetch', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);
  const relay = await startRelay(t, server.port);

  const result = await printFromPage(t, relay.port);
  assert.equal(result.error, undefined, `fetch failed in the page: ${result.error}\n${server.output}`);
  assert.equal(result.status, 200);
  assert.equal(result.text, '');
  assert.deepEqual(result.sent.subarray(0, 2), Buffer.from([0x1b, 0x40]), 'the receipt begins with ESC @');
  assert.ok(result.sent.includes(Buffer.from([0xd5])), 'the euro sign went out as a code page byte');

  assertPreflightAnswered(relay);
  const posts = relay.find('POST');
  assert.equal(posts.length, 1, 'one POST was answered');
  assert.match(posts[0].request, /\r\nContent-Type: application\/octet-stream\r\n/i);
  assert.match(posts[0].request, new RegExp(`\r\nOrigin: http://127\\.0\\.0\\.1:${pageServer.port}\r\n`, 'i'));

  const printed = await readDeviceWhenFilled(device, result.sent.length);
  assert.equal(printed.length, result.sent.length);
  assert.ok(printed.equals(result.sent), 'the device holds exactly the bytes the page sent');
  assertAlive(assert, server);
  t.diagnostic(`page receipt: ${result.sent.length} bytes, first bytes ${result.sent.subarray(0, 8).toString('hex')}; ` +
    `${relay.connections()} connections from the browser`);
});

test('a page that retries with its Idempotency-Key prints once and reads the job id; the jobs page shows it', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);
  const first = await printFromPage(t, server.port, { key: 'till-7-receipt-42' });
  const retry = await printFromPage(t, server.port, { key: 'till-7-receipt-42' });
  assert.equal(first.error, undefined, `fetch failed in the page: ${first.error}`);
  assert.equal(first.status, 200);
  assert.match(first.jobId, /^[0-9a-z]{12}$/, 'the page may read Job-Id');
  assert.equal(first.replayed, null);
  assert.deepEqual([retry.status, retry.jobId, retry.replayed], [200, first.jobId, 'true']);
  const printed = await readDeviceWhenFilled(device, first.sent.length);
  assert.ok(printed.equals(first.sent), 'the device holds the receipt once');

  const page = await browser.context.newPage();
  t.after(() => page.close());
  await page.goto(`http://127.0.0.1:${server.port}/jobs`, { timeout: 15000 });
  assert.match(await page.textContent('#jobs'), new RegExp(`${first.jobId}.*printed \\(200\\)`));
  assert.equal(await page.getAttribute('a[href="/ca.crt"]', 'href'), '/ca.crt');
  fs.mkdirSync(OUTPUT, { recursive: true });
  const screenshot = path.join(OUTPUT, 'jobs-page.png');
  await page.screenshot({ path: screenshot, fullPage: true });
  assertAlive(assert, server);
  t.diagnostic(`jobs page: ${screenshot}`);
});

test('the page reads 503 when the device cannot be opened', async (t) => {
  const dir = makeTempDir(t);
  const missing = path.join(dir, 'nolp');
  const server = await startServer(t, missing);
  const relay = await startRelay(t, server.port);

  const result = await printFromPage(t, relay.port);
  assert.equal(result.error, undefined, `fetch failed in the page: ${result.error}`);
  assert.equal(result.status, 503);
  assert.notEqual(result.text, '', 'the answer explains the failure');
  assertPreflightAnswered(relay);
  assert.equal(fs.existsSync(missing), false, 'the device was not created');
  assertAlive(assert, server);
  t.diagnostic(`page read 503: ${JSON.stringify(result.text)}`);
});

test('without a device the page reads 503 and the reason', async (t) => {
  const server = await startServer(t, null);
  const relay = await startRelay(t, server.port);

  const result = await printFromPage(t, relay.port);
  assert.equal(result.error, undefined, `fetch failed in the page: ${result.error}`);
  assert.equal(result.status, 503);
  assert.equal(result.text, 'No printer device is configured; nothing was printed.\n');
  assertPreflightAnswered(relay);
  assertAlive(assert, server);
});

test('a form that another page submits prints nothing and is refused', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);
  const relay = await startRelay(t, server.port);

  const page = await browser.context.newPage();
  t.after(() => page.close());
  await page.goto(`http://127.0.0.1:${pageServer.port}/index.html`, { timeout: 15000 });
  // What a hostile page does: a text/plain form whose text holds ESC p, the
  // cash-drawer kick, submitted by script as a top-level navigation.
  await Promise.all([
    page.waitForNavigation({ timeout: 15000 }),
    page.evaluate((action) => {
      const form = document.createElement('form');
      form.method = 'POST';
      form.enctype = 'text/plain';
      form.action = action;
      const input = document.createElement('input');
      input.name = 'a';
      input.value = '\x1bp\x00\x19\xfa';
      form.appendChild(input);
      document.body.appendChild(form);
      form.submit();
    }, `http://127.0.0.1:${relay.port}/escpos`),
  ]);
  const posts = relay.find('POST');
  assert.equal(posts.length, 1, 'the form was sent once');
  assert.match(posts[0].request, /\r\nSec-Fetch-Mode: navigate\r\n/i);
  assert.ok(posts[0].response.startsWith('HTTP/1.1 403 Forbidden\r\n'), posts[0].response);
  assert.equal(fs.readFileSync(device).length, 0, 'nothing reached the printer');
  assertAlive(assert, server);
});

test('with --allow-origin the listed page prints with fetch and reads the answer and the status', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device, ['--allow-origin', pageServer.origin]);
  const relay = await startRelay(t, server.port);

  const result = await printFromPage(t, relay.port);
  assert.equal(result.error, undefined, `fetch failed in the page: ${result.error}\n${server.output}`);
  assert.equal(result.status, 200);
  const ownOrigin = `Access-Control-Allow-Origin: ${pageServer.origin}\r\nVary: Origin\r\n`;
  for (const exchange of [...relay.find('OPTIONS'), ...relay.find('POST')]) {
    assert.ok(exchange.response.includes(ownOrigin), exchange.response);
  }
  const printed = await readDeviceWhenFilled(device, result.sent.length);
  assert.ok(printed.equals(result.sent), 'the device holds exactly the bytes the page sent');

  const status = await result.page.evaluate(
    async (printer) => (await fetch(`${printer}/status`)).json(), `http://127.0.0.1:${relay.port}`);
  // A file as the printer answers nothing: the page reads every field of that.
  assert.deepEqual(status, {
    printer: 'no-answer', online: null, coverOpen: null, paper: null, drawerPin3High: null, error: null, jobLog: null,
    status: [null, null, null, null],
  });
  assertAlive(assert, server);
});

test('with --allow-origin a page from another origin prints nothing, whatever kind of request it makes', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device, ['--allow-origin', pageServer.origin]);
  const relay = await startRelay(t, server.port);

  const page = await browser.context.newPage();
  t.after(() => page.close());
  await page.goto(`${otherPageServer.origin}/index.html`, { timeout: 15000 });
  // The drive-by requests a hostile page can make, each with the drawer kick.
  await page.evaluate(async (target) => {
    const kick = '\x1bp\x00\x19\xfa';
    const headers = { 'Content-Type': 'application/octet-stream' };
    await fetch(target, { method: 'POST', headers, body: kick }).catch(() => {});
    await fetch(target, { method: 'POST', mode: 'no-cors', body: kick });
    await new Promise((resolve) => {
      const request = new XMLHttpRequest();
      request.open('POST', target);
      request.onloadend = resolve;
      request.send(kick);
    });
    navigator.sendBeacon(target, kick);
    document.body.insertAdjacentHTML('beforeend', '<iframe name="sink"></iframe><form method="POST" ' +
      `enctype="text/plain" action="${target}" target="sink"><input name="a"></form>`);
    document.querySelector('input').value = kick;
    document.querySelector('form').submit();
  }, `http://127.0.0.1:${relay.port}/escpos`);

  // The fetch's preflight, then no-cors fetch, XMLHttpRequest, beacon and form.
  const sent = () => [...relay.find('OPTIONS'), ...relay.find('POST')];
  await within(10000, 'every request to reach quorvel2', (async () => {
    while (sent().length < 5) await sleep(20);
  })());
  for (const exchange of sent()) {
    assert.ok(exchange.request.includes(`\r\nOrigin: ${otherPageServer.origin}\r\n`), exchange.request);
    assert.ok(exchange.response.startsWith('HTTP/1.1 403 Forbidden\r\n'), exchange.response);
    assert.ok(exchange.response.endsWith("This page's origin is not allowed to print here; nothing was printed.\n"));
  }
  assert.equal(fs.readFileSync(device).length, 0, 'nothing reached the printer');
  assertAlive(assert, server);
});

// An https:// page on another origin prints to https://<host name>.local
// (the name mapped to the loopback in the browser, as the shop's network
// would resolve it), with the server's certificate verified against its own
// authority in the browser's NSS store, and reads /status. The page's own
// origin, https://localhost, is served with the server's certificate too.
test('an https page prints to https://<host name>.local with the certificate verified', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);
  // Hooks run in the order they were added: the folders Chromium writes to
  // (its home and its profile) are removed in the hook that closes it first.
  const home = fs.mkdtempSync('/tmp/q2a-home-');
  const profile = fs.mkdtempSync('/tmp/q2a-profile-');
  let context = null;
  t.after(async () => {
    if (context) await within(15000, 'chromium to close', context.close()).catch(() => {});
    fs.rmSync(profile, { recursive: true, force: true });
    fs.rmSync(home, { recursive: true, force: true });
  });
  const store = `sql:${path.join(home, '.pki/nssdb')}`;
  fs.mkdirSync(path.join(home, '.pki/nssdb'), { recursive: true });
  for (const args of [['-N', '-d', store, '--empty-password'],
    ['-A', '-d', store, '-t', 'C,,', '-n', 'quorvel2', '-a', '-i', path.join(server.stateDir, 'ca.crt')]]) {
    const added = await run('certutil', args);
    assert.equal(added.code, 0, `certutil ${args.join(' ')}: ${added.stderr}`);
  }
  const pem = fs.readFileSync(path.join(server.stateDir, `server-${server.port}.pem`), 'latin1');
  const split = pem.indexOf('-----BEGIN', pem.indexOf('-----END CERTIFICATE-----'));
  const httpsPage = await startPageServer('127.0.0.1', { cert: pem.slice(0, split), key: pem.slice(split) });
  t.after(() => httpsPage.close());
  const till = `${os.hostname().split('.')[0].toLowerCase()}.local`;
  context = await chromium.launchPersistentContext(profile, {
    executablePath: CHROMIUM,
    headless: true,
    timeout: 30000,
    env: { ...process.env, HOME: home },
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--disable-quic',
      `--host-resolver-rules=MAP ${till} 127.0.0.1, MAP localhost 127.0.0.1`],
  });

  const printer = `https://${till}:${server.port}`;
  const result = await printFromPage(t, server.port,
    { context, pageOrigin: `https://localhost:${httpsPage.port}`, printer });
  assert.equal(result.error, undefined, `fetch failed in the page: ${result.error}\n${server.output}`);
  assert.equal(result.status, 200);
  const printed = await readDeviceWhenFilled(device, result.sent.length);
  assert.ok(printed.equals(result.sent), 'the device holds exactly the bytes the page sent');
  const status = await result.page.evaluate(async (url) => (await fetch(`${url}/status`)).json(), printer);
  assert.equal(typeof status.printer, 'string', JSON.stringify(status));
  assertAlive(assert, server);
});
