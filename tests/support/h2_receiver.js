// An HTTP/2 upload receiver over TLS on 127.0.0.1, for the tests of the built-in
// sender: it answers every POST with 200 after a set delay and logs one JSON line per
// request (its connection, the query, the body's length and text, and how many streams
// of the connection were open) to --log. The port
// it listens on goes to --port-file once it listens.
//
//   node h2_receiver.js --key K --cert C --port-file F --log L [--delay-ms N]
'use strict';
const fs = require('fs');
const http2 = require('http2');

const options = {};
for (let i = 2; i + 1 < process.argv.length; i += 2) {
  options[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
}
const delay = Number(options['delay-ms'] || 0);
let sessions = 0;

const server = http2.createSecureServer({
  key: fs.readFileSync(options.key),
  cert: fs.readFileSync(options.cert),
  allowHTTP1: false,
});
server.on('session', (session) => {
  session.qvNumber = ++sessions;
  session.qvOpen = 0;
});
server.on('stream', (stream, headers) => {
  stream.session.qvOpen++;
  const chunks = [];
  stream.on('data', (chunk) => chunks.push(chunk));
  stream.on('end', () => {
    const body = Buffer.concat(chunks);
    setTimeout(() => {
      const entry = {
        session: stream.session.qvNumber,
        method: headers[':method'],
        path: headers[':path'],
        idempotency_key: headers['idempotency-key'] || null,
        size: body.length,
        body: body.toString('utf8'),
        concurrent: stream.session.qvOpen,
      };
      stream.session.qvOpen--;
      fs.appendFileSync(options.log, JSON.stringify(entry) + '\n');
      stream.respond({':status': 200, 'content-length': '0'});
      stream.end();
    }, delay);
  });
});
server.listen(0, '127.0.0.1', () => {
  fs.writeFileSync(options['port-file'] + '.tmp', String(server.address().port));
  fs.renameSync(options['port-file'] + '.tmp', options['port-file']);
});
process.on('SIGTERM', () => process.exit(0));
