// Protocol checks of `brightloom-index lsp` through a real JSON-RPC client.
// Run: node --test tests/lsp_client/protocol_test.js
// LSP_SERVER_COMMAND (a JSON array) names the server; the default runs
// `python3 -m brightloom_index lsp` with PYTHONPATH as given.
'use strict';

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const { spawn, spawnSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { pathToFileURL } = require('node:url');
const rpc = require('vscode-jsonrpc/node');

const serverCommand = JSON.parse(process.env.LSP_SERVER_COMMAND || '["/usr/bin/python3", "-m", "brightloom_index", "lsp"]');
// Every server started, ended after the tests whatever happened in them.
const children = [];

let workspace;
const uriOf = (relative) => pathToFileURL(path.join(workspace, relative)).href;

function write(relative, text) {
  const target = path.join(workspace, relative);
  fs.mkdirSync(path.dirname(target), { recursive: true });
  fs.writeFileSync(target, text);
}

before(() => {
  workspace = fs.realpathSync(fs.mkdtempSync(path.join(os.tmpdir(), 'brightloom-lsp-')));
  write('lib/geometry.js', 'export function areaOf(shape) {\n  return shape.width * shape.height;\n}\n');
  write('app/main.js', "import { areaOf } from '../lib/geometry.js';\nconsole.log(areaOf({ width: 2, height: 3 }));\n");
  const indexed = spawnSync(serverCommand[0], [...serverCommand.slice(1, -1), 'index', workspace], { encoding: 'utf8' });
  assert.equal(indexed.status, 0, indexed.stderr);
});

after(() => {
  for (const child of children) if (child.exitCode === null) child.kill();
  fs.rmSync(workspace, { recursive: true, force: true });
});

// A server process with a JSON-RPC connection on its pipes.
function startServer() {
  const child = spawn(serverCommand[0], serverCommand.slice(1), { stdio: ['pipe', 'pipe', 'inherit'] });
  children.push(child);
  const connection = rpc.createMessageConnection(
    new rpc.StreamMessageReader(child.stdout), new rpc.StreamMessageWriter(child.stdin));
  const notifications = [];
  const waiters = [];
  connection.onNotification((method, params) => {
    notifications.push({ method, params });
    for (const waiter of waiters.splice(0)) waiter();
  });
  connection.listen();
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  // The next notification of `method` matching `accept`, waiting for it to come.
  async function notification(method, accept = () => true, timeoutMs = 5000) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
      const index = notifications.findIndex((item) => item.method === method && accept(item.params));
      if (index >= 0) return notifications.splice(index, 1)[0].params;
      if (Date.now() > deadline) throw new Error(`no ${method} within ${timeoutMs} ms`);
      await new Promise((resolve) => { waiters.push(resolve); setTimeout(resolve, 50); });
    }
  }
  return { child, connection, notification, exited };
}

async function initialized(server, capabilities = {}) {
  const reply = await server.connection.sendRequest('initialize', {
    processId: process.pid, rootUri: pathToFileURL(workspace).href, capabilities,
  });
  await server.connection.sendNotification('initialized', {});
  return reply;
}

async function stop(server) {
  await server.connection.sendRequest('shutdown');
  await server.connection.sendNotification('exit');
  assert.equal(await server.exited, 0);
  server.connection.dispose();
}

// A reader of raw frames for the byte-level cases, where the client library would hide the fault.
function rawSession() {
  const child = spawn(serverCommand[0], serverCommand.slice(1), { stdio: ['pipe', 'pipe', 'inherit'] });
  children.push(child);
  const reader = new rpc.StreamMessageReader(child.stdout);
  const messages = [];
  const waiters = [];
  reader.listen((message) => { messages.push(message); for (const waiter of waiters.splice(0)) waiter(); });
  async function next(timeoutMs = 5000) {
    const deadline = Date.now() + timeoutMs;
    while (messages.length === 0) {
      if (Date.now() > deadline) throw new Error('no message');
      await new Promise((resolve) => { waiters.push(resolve); setTimeout(resolve, 50); });
    }
    return messages.shift();
  }
  const frame = (message) => {
    const body = Buffer.from(JSON.stringify(message), 'utf8');
    return Buffer.concat([Buffer.from(`Content-Length: ${body.length}\r\n\r\n`, 'ascii'), body]);
  };
  const exited = new Promise((resolve) => child.on('exit', (code) => resolve(code)));
  return { child, next, frame, exited };
}

test('framing: a message split across writes, several in one write, malformed JSON', async () => {
  const session = rawSession();
  const initialize = session.frame({ jsonrpc: '2.0', id: 1, method: 'initialize', params: { capabilities: {} } });
  for (const piece of [initialize.subarray(0, 7), initialize.subarray(7, 30), initialize.subarray(30)]) {
    session.child.stdin.write(piece);
    await new Promise((resolve) => setTimeout(resolve, 30));
  }
  assert.equal((await session.next()).id, 1);
  const body = Buffer.from('{"jsonrpc": "2.0", "id": 2, ', 'utf8');
  session.child.stdin.write(Buffer.concat([
    session.frame({ jsonrpc: '2.0', method: 'initialized', params: {} }),
    Buffer.from(`Content-Length: ${body.length}\r\n\r\n`), body,
    session.frame({ jsonrpc: '2.0', method: 'no/such/notification', params: {} }),
    session.frame({ jsonrpc: '2.0', id: 3, method: 'workspace/symbol', params: { query: 'zzz_nothing' } }),
    session.frame({ jsonrpc: '2.0', id: 4, method: 'no/such/request', params: {} }),
  ]));
  const parseError = await session.next();
  assert.equal(parseError.error.code, -32700);
  assert.equal(parseError.id, null);
  // The notifications got no reply: the next answers are the two requests, in order.
  assert.deepEqual(await session.next(), { jsonrpc: '2.0', id: 3, result: [] });
  assert.equal((await session.next()).error.code, -32601);
  session.child.stdin.end();
  // Input closed without shutdown: the server leaves, with a failure status.
  assert.equal(await session.exited, 1);
});

test('lifecycle: requests before initialize, after shutdown, and exit', async () => {
  const server = startServer();
  await assert.rejects(server.connection.sendRequest('workspace/symbol', { query: 'a' }), { code: -32002 });
  const reply = await initialized(server);
  assert.equal(reply.capabilities.positionEncoding, 'utf-16');
  assert.equal(reply.capabilities.definitionProvider, true);
  await assert.rejects(server.connection.sendRequest('no/such/method', {}), { code: -32601 });
  await assert.rejects(server.connection.sendRequest('textDocument/definition', { textDocument: {} }), { code: -32602 });
  await server.connection.sendRequest('shutdown');
  await assert.rejects(server.connection.sendRequest('workspace/symbol', { query: 'a' }), { code: -32600 });
  await server.connection.sendNotification('exit');
  assert.equal(await server.exited, 0);
  server.connection.dispose();
});

test('cancellation: a queued request answers RequestCancelled, the next one is served', async () => {
  const server = startServer();
  await initialized(server);
  const uri = uriOf('app/main.js');
  // Keeps the server busy (in Python, so its reader takes the cancellation meanwhile).
  const busy = uriOf('app/busy.js');
  let text = '';
  for (let i = 0; i < 20000; i += 1) text += `function f${i}() {}\n`;
  await server.connection.sendNotification('textDocument/didOpen', { textDocument: { uri: busy, languageId: 'javascript', version: 1, text } });
  const slow = server.connection.sendRequest('textDocument/documentSymbol', { textDocument: { uri: busy } });
  const source = new rpc.CancellationTokenSource();
  const cancelled = server.connection.sendRequest('textDocument/definition', {
    textDocument: { uri }, position: { line: 1, character: 14 },
  }, source.token);
  source.cancel();
  await assert.rejects(cancelled, { code: -32800 });
  assert.equal((await slow).length, 20000);
  const found = await server.connection.sendRequest('textDocument/definition', { textDocument: { uri }, position: { line: 1, character: 14 } });
  assert.deepEqual(found.map((item) => item.uri), [uriOf('lib/geometry.js')]);
  await stop(server);
});

test('definition, references and hover across files', async () => {
  const server = startServer();
  await initialized(server);
  const uri = uriOf('app/main.js');
  const definition = await server.connection.sendRequest('textDocument/definition', { textDocument: { uri }, position: { line: 1, character: 15 } });
  assert.deepEqual(definition, [{ uri: uriOf('lib/geometry.js'), range: { start: { line: 0, character: 16 }, end: { line: 0, character: 22 } } }]);
  const references = await server.connection.sendRequest('textDocument/references', {
    textDocument: { uri }, position: { line: 1, character: 15 }, context: { includeDeclaration: false },
  });
  assert.deepEqual(references.map((item) => [item.uri, item.range.start.line, item.range.start.character]), [
    [uriOf('app/main.js'), 0, 9], [uriOf('app/main.js'), 1, 12],
  ]);
  const hover = await server.connection.sendRequest('textDocument/hover', { textDocument: { uri }, position: { line: 1, character: 13 } });
  assert.match(hover.contents.value, /function areaOf\(shape\)/);
  assert.match(hover.contents.value, /lib\/geometry\.js/);
  await stop(server);
});

test('UTF-16 positions: non-ASCII and astral characters, incremental edits, UTF-8 when offered', async () => {
  const text = 'const é = "😀😀"; function naïveCount() {}\nnaïveCount();\n';
  for (const [offered, expected] of [[undefined, 'utf-16'], [['utf-8', 'utf-16'], 'utf-8']]) {
    const server = startServer();
    const reply = await initialized(server, offered ? { general: { positionEncodings: offered } } : {});
    assert.equal(reply.capabilities.positionEncoding, expected);
    const units = (s) => (expected === 'utf-8' ? Buffer.byteLength(s, 'utf8') : s.length);
    const uri = uriOf('app/unicode.js');
    await server.connection.sendNotification('textDocument/didOpen', {
      textDocument: { uri, languageId: 'javascript', version: 1, text },
    });
    const start = units('const é = "😀😀"; function ');
    const found = await server.connection.sendRequest('textDocument/definition', {
      textDocument: { uri }, position: { line: 1, character: 3 },
    });
    assert.deepEqual(found[0].range, { start: { line: 0, character: start }, end: { line: 0, character: start + units('naïveCount') } });
    // Insert "X" right after the emoji pair: the function moves by one unit.
    const afterEmoji = units('const é = "😀😀');
    await server.connection.sendNotification('textDocument/didChange', {
      textDocument: { uri, version: 2 },
      contentChanges: [{ range: { start: { line: 0, character: afterEmoji }, end: { line: 0, character: afterEmoji } }, text: 'X' }],
    });
    const moved = await server.connection.sendRequest('textDocument/definition', {
      textDocument: { uri }, position: { line: 1, character: 3 },
    });
    assert.equal(moved[0].range.start.character, start + 1);
    const diagnostics = await server.notification('textDocument/publishDiagnostics', (p) => p.version === 2);
    assert.deepEqual(diagnostics.diagnostics, []);
    await stop(server);
  }
});

test('diagnostics follow the buffer: open, change, close', async () => {
  const server = startServer();
  await initialized(server);
  const uri = uriOf('app/broken.js');
  await server.connection.sendNotification('textDocument/didOpen', {
    textDocument: { uri, languageId: 'javascript', version: 1, text: 'function ok() {}\nfunction bad( {\n' },
  });
  const opened = await server.notification('textDocument/publishDiagnostics', (p) => p.uri === uri);
  assert.ok(opened.diagnostics.length > 0);
  assert.equal(opened.diagnostics[0].severity, 1);
  await server.connection.sendNotification('textDocument/didChange', {
    textDocument: { uri, version: 2 }, contentChanges: [{ text: 'function ok() {}\n' }],
  });
  assert.deepEqual((await server.notification('textDocument/publishDiagnostics', (p) => p.version === 2)).diagnostics, []);
  // A definition only in the unsaved buffer is found.
  await server.connection.sendNotification('textDocument/didChange', {
    textDocument: { uri, version: 3 }, contentChanges: [{ text: 'function freshlyTyped() {}\nfreshlyTyped();\n' }],
  });
  const fresh = await server.connection.sendRequest('workspace/symbol', { query: 'freshlytyp' });
  assert.deepEqual(fresh.map((item) => [item.name, item.location.uri]), [['freshlyTyped', uri]]);
  await server.connection.sendNotification('textDocument/didClose', { textDocument: { uri } });
  assert.deepEqual((await server.notification('textDocument/publishDiagnostics', (p) => p.uri === uri && p.diagnostics.length === 0)).diagnostics, []);
  await stop(server);
});
