// A small static server for the demonstration page: serves web/ (so that /demo/ can import
// /velmor.js) on one loopback address. `node web/demo/serve.mjs [PORT] [HOST]` prints the URL.
import {createReadStream} from 'node:fs';
import {stat} from 'node:fs/promises';
import {createServer} from 'node:http';
import {dirname, extname, join, normalize, sep} from 'node:path';
import {fileURLToPath} from 'node:url';

const ROOT = normalize(join(dirname(fileURLToPath(import.meta.url)), '..'));
const TYPES = {'.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
               '.mjs': 'text/javascript; charset=utf-8', '.css': 'text/css; charset=utf-8',
               '.png': 'image/png', '.json': 'application/json'};

// serve starts the server and resolves to {server, url} once it listens.
export function serve({host = '127.0.0.1', port = 0, root = ROOT} = {}) {
  const server = createServer(async (request, response) => {
    const path = decodeURIComponent(new URL(request.url, 'http://x').pathname);
    let file = normalize(join(root, path));
    if (file !== root && !file.startsWith(root + sep)) {
      response.writeHead(403).end();
      return;
    }
    try {
      if ((await stat(file)).isDirectory()) file = join(file, 'index.html');
      await stat(file);
    } catch {
      response.writeHead(404).end('not found');
      return;
    }
    response.writeHead(200, {'content-type': TYPES[extname(file)] ?? 'application/octet-stream',
                             'cache-control': 'no-store'});
    createReadStream(file).pipe(response);
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, host, () => {
      resolve({server, url: `http://${host}:${server.address().port}`});
    });
  });
}

if (process.argv[1] === fileURLToPath(import.meta.url)) {
  const {url} = await serve({port: Number(process.argv[2] ?? 8080), host: process.argv[3] ?? '127.0.0.1'});
  console.log(`velmor demonstration page: ${url}/demo/`);
}
