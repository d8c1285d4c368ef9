// web/serve.py's refusals: it serves the page's files and nothing else, answers every malformed
// request with a 4xx and no traceback, and says in one line when it cannot listen.
// Run by scripts/test-web.sh as node --test serve.test.mjs in tests/web/.
import { after, before, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, mkdirSync, rmSync, symlinkSync, writeFileSync } from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';
import { createInterface } from 'node:readline';
import { fileURLToPath } from 'node:url';

const root = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const serveScript = path.join(root, 'web/serve.py');

// A page folder with a file, a subfolder, a hidden file, and symbolic links in and out of it.
const tmp = mkdtempSync(path.join(os.tmpdir(), 'quolvane-serve-'));
const folder = path.join(tmp, 'page');
mkdirSync(path.join(folder, 'sub'), { recursive: true });
writeFileSync(path.join(folder, 'index.html'), 'the page');
writeFileSync(path.join(folder, 'sub', 'a.js'), 'inside');
writeFileSync(path.join(folder, '.hidden'), 'hidden');
writeFileSync(path.join(tmp, 'secret.txt'), 'outside');
symlinkSync(path.join(tmp, 'secret.txt'), path.join(folder, 'out.txt'));
symlinkSync(tmp, path.join(folder, 'up'));
symlinkSync(path.join(folder, 'sub', 'a.js'), path.join(folder, 'in.js'));

function run(args) {
  const child = spawn('python3', [serveScript, ...args], { stdio: ['ignore', 'pipe', 'pipe'] });
  const out = { stdout: '', stderr: '', child };
  child.stderr.on('data', (d) => { out.stderr += d; });
  out.exit = new Promise((resolve) => child.once('exit', (code) => resolve(code)));
  out.line = new Promise((resolve) => {
    createInterface({ input: child.stdout }).once('line', (line) => { out.stdout = line; resolve(line); });
    out.exit.then(() => resolve(null));
  });
  return out;
}

// One raw request (the path exactly as written, no normalising); resolves to the status code
// and the body.
function request(port, target, method = 'GET') {
  return new Promise((resolve, reject) => {
    const socket = net.connect(port, '127.0.0.1');
    let data = '';
    socket.on('data', (d) => { data += d; });
    socket.on('error', reject);
    socket.on('end', () => {
      const status = Number((/^HTTP\/1\.\d (\d{3})/.exec(data) || [])[1]);
      const headers = data.split('\r\n\r\n')[0];
      resolve({ status, headers, body: data.slice(headers.length + 4) });
    });
    socket.write(`${method} ${target} HTTP/1.0\r\n\r\n`);
  });
}

let server;
let port;
before(async () => {
  server = run([folder, '0']);
  const line = await server.line;
  const m = /^Serving .* at http:\/\/127\.0\.0\.1:(\d+)\/$/.exec(line);
  assert.ok(m, 'serve.py said: ' + line + server.stderr);
  port = Number(m[1]);
});
after(async () => {
  server?.child.kill();
  rmSync(tmp, { recursive: true, force: true });
});

test('serves the page\'s files, with the isolation headers, and links that stay inside', async () => {
  for (const [target, body] of [['/', 'the page'], ['/index.html', 'the page'],
    ['/sub/a.js', 'inside'], ['/in.js', 'inside'], ['/index.html?x=1', 'the page']]) {
    const r = await request(port, target);
    assert.equal(r.status, 200, target);
    assert.equal(r.body, body, target);
    assert.match(r.headers, /Cross-Origin-Embedder-Policy: require-corp/, target);
    assert.match(r.headers, /Cross-Origin-Opener-Policy: same-origin/, target);
  }
  const r = await request(port, '/sub');
  assert.equal(r.status, 301);
  assert.match(r.headers, /\r\nLocation: \/sub\/\r\n/);
});

test('refuses listings, paths outside the folder, links out and malformed paths', async () => {
  const refused = {
    '/sub/': 404, '/up/': 404, '/up/secret.txt': 404, '/out.txt': 404, '/.hidden': 404,
    '/nothing': 404, '/../secret.txt': 400, '/%2e%2e/secret.txt': 400, '/sub/../../secret.txt': 400,
    '/%00': 400, '/index.html%00': 400, '/%ff': 400, '/a%0ab': 400, '//sub/': 404, '/sub//a.js': 400,
    '/sub%5c..%5c..%5csecret.txt': 400, 'index.html': 400, '*': 400,
  };
  for (const [target, status] of Object.entries(refused)) {
    const r = await request(port, target);
    assert.equal(r.status, status, target);
    assert.ok(!r.body.includes('outside'), target);
  }
  assert.equal((await request(port, '/', 'POST')).status, 501);
  // Still serving after all that, and nothing went to the terminal.
  assert.equal((await request(port, '/')).status, 200);
  assert.equal(server.stderr, '');
});

test('a port in use gives one line and a non-zero status; the port by option or argument',
  async () => {
    for (const args of [[folder, String(port)], [folder, '--port', String(port)]]) {
      const second = run(args);
      const code = await second.exit;
      assert.notEqual(code, 0);
      assert.equal(second.stderr, `serve: port ${port} on 127.0.0.1 is in use\n`);
    }
    const two = run([folder, '1', '--port', '2']);
    assert.equal(await two.exit, 2);
    assert.match(two.stderr, /two ports given/);
  });
