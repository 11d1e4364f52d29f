// The capecho protocol served the way Node.js serves TCP: net.createServer on
// one event loop, its defaults kept (noDelay false: TCP_NODELAY off).
// net.Server ignores the `onread` option (only net.Socket and net.connect take
// it), so each 'data' buffer (one read of up to 64 KiB) is cut into 1024-byte
// pieces: the chunks that back-to-back reads of 1024 bytes would return.
// Usage: node server.js PORT (0 = any free port). SIGTERM's default action ends it.
'use strict';
const net = require('node:net');

const GREETING = Buffer.from('Hello!!\n\0', 'latin1');
const CHUNK = 1024;

function isTerminator(b) {
  return b.length >= 3 && b[0] === 0x2e && b[1] === 0x0d && b[2] === 0x0a && (b.length === 3 || b[3] === 0);
}

const server = net.createServer((sock) => {
  let done = false;
  sock.on('error', () => {}); // resets and the like: the socket closes itself
  sock.write(GREETING);
  sock.on('data', (data) => {
    for (let at = 0; at < data.length && !done; at += CHUNK) {
      const chunk = data.subarray(at, at + CHUNK);
      if (isTerminator(chunk)) {
        done = true;
        sock.destroySoon(); // close once earlier echoes are written
        return;
      }
      // Not toUpperCase(): it would change Latin-1 letters too.
      for (let i = 0; i < chunk.length; i++) {
        const c = chunk[i];
        if (c >= 0x61 && c <= 0x7a) chunk[i] = c - 0x20;
      }
      if (!sock.write(chunk)) { // queued: read no more until it drains
        sock.pause();
        sock.once('drain', () => sock.resume());
      }
    }
  });
});

server.listen(Number(process.argv[2] || 0), '127.0.0.1', () => {
  process.stderr.write(`listening on 127.0.0.1:${server.address().port}\n`);
});
