// ESC/POS client libraries that point-of-sale programs use to talk to a
// network printer: each prints a receipt over a raw TCP connection and the
// device must hold exactly the bytes the library generated; and a library
// reads the printer's status replies through the same connection.
import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { test } from 'node:test';

import { Printer as NodeEscposPrinter } from '@node-escpos/core';
import NodeEscposNetwork from '@node-escpos/network-adapter';

import {
  assertAlive, makeDeviceFile, makeTempDir, readDeviceWhenFilled, startServer, startSimulatedPrinter, within,
} from './harness.mjs';

const require = createRequire(import.meta.url);
const { ThermalPrinter, PrinterTypes } = require('node-thermal-printer');
const escpos = require('escpos');
escpos.Network = require('escpos-network');

const ESC_INIT = Buffer.from([0x1b, 0x40]);

function thermalReceipt(port, title, items) {
  const printer = new ThermalPrinter({
    type: PrinterTypes.EPSON,
    interface: `tcp://127.0.0.1:${port}`,
    options: { timeout: 3000 },
  });
  printer.initHardware();
  printer.alignCenter();
  printer.setTextDoubleHeight();
  printer.bold(true);
  printer.println(title);
  printer.bold(false);
  printer.setTextNormal();
  printer.alignLeft();
  printer.drawLine();
  for (const [name, price] of items) printer.leftRight(name, price);
  printer.drawLine();
  printer.code128('Q2-000123');
  printer.printQR('https://example.invalid/receipt/123');
  printer.cut();
  return printer;
}

test('node-thermal-printer: connection check, then receipts over tcp://', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);

  // The library's check opens a connection and closes it without a byte.
  const printer = thermalReceipt(server.port, 'QUORVEL2 CAFE', [['Espresso', '2.50'], ['Croissant', '1.80']]);
  assert.equal(await within(5000, 'isPrinterConnected', printer.isPrinterConnected()), true);

  const first = Buffer.from(printer.getBuffer());
  assert.deepEqual(first.subarray(0, 2), ESC_INIT, 'the receipt begins with ESC @');
  await within(5000, 'first execute', printer.execute());
  assert.deepEqual(await readDeviceWhenFilled(device, first.length), first);

  // A second check between jobs, then a receipt long enough to arrive in
  // several reads on the server side.
  const items = [];
  for (let i = 1; i <= 1200; i++) items.push([`Item ${i} of a long order`, `${i}.00`]);
  const long = thermalReceipt(server.port, 'LONG ORDER', items);
  assert.equal(await within(5000, 'isPrinterConnected', long.isPrinterConnected()), true);
  const second = Buffer.from(long.getBuffer());
  assert.ok(second.length > 3 * 16384, `long receipt is ${second.length} bytes`);
  await within(5000, 'second execute', long.execute());

  const expected = Buffer.concat([first, second]);
  const printed = await readDeviceWhenFilled(device, expected.length);
  assert.equal(printed.length, expected.length);
  assert.ok(printed.equals(expected), 'the device holds both receipts, byte for byte, in order');
  assertAlive(assert, server);
  t.diagnostic(`node-thermal-printer receipts: ${first.length} + ${second.length} bytes, ` +
    `first bytes ${first.subarray(0, 8).toString('hex')}`);
});

function openNetwork(adapter) {
  return within(5000, 'escpos-network open', new Promise((resolve, reject) => {
    adapter.open((error) => (error ? reject(error) : resolve()));
  }));
}

// Keeps what the printer flushes from its buffer to the adapter.
function keepWrites(adapter) {
  const flushed = [];
  const write = adapter.write.bind(adapter);
  adapter.write = (data, callback) => {
    flushed.push(Buffer.from(data));
    return write(data, callback);
  };
  return flushed;
}

test('escpos with escpos-network prints a receipt', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);

  const adapter = new escpos.Network('127.0.0.1', server.port);
  const flushed = keepWrites(adapter);
  await openNetwork(adapter);

  const printer = new escpos.Printer(adapter, { encoding: 'cp858', width: 42 });
  printer
    .hardware('init')
    .font('a')
    .align('ct')
    .style('b')
    .size(1, 1)
    .text('QUORVEL2 CAFE')
    .size(0, 0)
    .style('normal')
    .align('lt')
    .text('Café crème          3,20 €')
    .tableCustom([
      { text: 'Espresso', align: 'LEFT', width: 0.6 },
      { text: '2,50', align: 'RIGHT', width: 0.3 },
    ])
    .drawLine()
    .barcode('123456789012', 'EAN13')
    .cut();
  await within(5000, 'escpos close', new Promise((resolve) => printer.close(resolve)));

  const sent = Buffer.concat(flushed);
  assert.ok(sent.length > 0);
  assert.deepEqual(sent.subarray(0, 2), ESC_INIT, 'the receipt begins with ESC @');
  assert.ok(sent.includes(Buffer.from([0xd5])), 'the euro sign went out as a code page byte');
  const printed = await readDeviceWhenFilled(device, sent.length);
  assert.equal(printed.length, sent.length);
  assert.ok(printed.equals(sent), 'the device holds exactly the bytes escpos generated');
  assertAlive(assert, server);
  t.diagnostic(`escpos receipt: ${sent.length} bytes, first bytes ${sent.subarray(0, 8).toString('hex')}`);
});

// Jobs that begin with text, not with ESC @: a network printer prints them,
// so quorvel2 must too.
test('text-first jobs of node-thermal-printer and escpos print whole', async (t) => {
  const dir = makeTempDir(t);
  const device = makeDeviceFile(dir);
  const server = await startServer(t, device);

  const thermal = new ThermalPrinter({
    type: PrinterTypes.EPSON, interface: `tcp://127.0.0.1:${server.port}`, options: { timeout: 3000 },
  });
  thermal.println('TOTAL 12.00');
  thermal.println('Thank you for shopping');
  thermal.cut();
  const first = Buffer.from(thermal.getBuffer());
  assert.equal(first.subarray(0, 5).toString('latin1'), 'TOTAL', 'the job begins with text');
  await within(5000, 'execute', thermal.execute());
  assert.ok((await readDeviceWhenFilled(device, first.length)).equals(first));

  const adapter = new escpos.Network('127.0.0.1', server.port);
  const flushed = keepWrites(adapter);
  await openNetwork(adapter);
  const printer = new escpos.Printer(adapter);
  printer.text('Hello from escpos').cut();
  await within(5000, 'escpos close', new Promise((resolve) => printer.close(resolve)));
  const second = Buffer.concat(flushed);
  assert.equal(second.subarray(0, 5).toString('latin1'), 'Hello', 'the job begins with text');
  const printed = await readDeviceWhenFilled(device, first.length + second.length);
  assert.ok(printed.equals(Buffer.concat([first, second])), 'both jobs on the device, byte for byte');
  assertAlive(assert, server);
});

test('escpos getStatuses() reads the printer\'s replies through the raw port', async (t) => {
  const device = await startSimulatedPrinter(t, 'near-end');
  const server = await startServer(t, device);
  const adapter = new escpos.Network('127.0.0.1', server.port);
  await openNetwork(adapter);
  t.after(() => adapter.device.destroy());
  const printer = new escpos.Printer(adapter);

  // The library's first bytes are its status requests: they open the raw stream.
  const statuses = await within(5000, 'getStatuses', new Promise((resolve) => printer.getStatuses(resolve)));
  // The library asks DLE EOT 1, 4, 2, 3 and reads the replies in that order.
  assert.deepEqual(statuses.map((status) => status.byte), [0x12, 0x1e, 0x12, 0x12]);
  const paper = statuses[1].toJSON();
  assert.equal(paper.className, 'RollPaperSensorStatus');
  assert.ok(paper.statuses.some((bit) => bit.status === 'warning' && /near-end/.test(bit.label)),
    JSON.stringify(paper.statuses));
  assertAlive(assert, server);
});

test('@node-escpos/core getStatuses() gets the four replies in one read, 20 calls in a row', async (t) => {
  const device = await startSimulatedPrinter(t, 'near-end');
  const server = await startServer(t, device);
  const adapter = new NodeEscposNetwork('127.0.0.1', server.port);
  await within(5000, 'network adapter open', new Promise((resolve, reject) => {
    adapter.open((error) => (error ? reject(error) : resolve()));
  }));
  t.after(() => adapter.device.destroy());
  adapter.device.setMaxListeners(25); // every call adds a data listener of its own
  const printer = new NodeEscposPrinter(adapter, {});
  // It asks DLE EOT 1, 4, 2, 3 and takes the first read that has four bytes
  // as their replies; fewer bytes reject the call.
  for (let call = 1; call <= 20; call++) {
    const statuses = await within(5000, `getStatuses call ${call}`, printer.getStatuses());
    assert.deepEqual(statuses.map((status) => status.byte), [0x12, 0x1e, 0x12, 0x12], `call ${call}`);
  }
  assertAlive(assert, server);
});
