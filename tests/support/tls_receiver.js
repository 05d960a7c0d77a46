// An upload receiver over TLS on 127.0.0.1, for the tests of the built-in sender:
// HTTP/2 (node's http2, no HTTP/1.1) or HTTP/1.1 with connections kept alive (node's
// https). After a set delay it answers the first --busy POSTs 503 and every other 200,
// and logs one JSON line per request to --log: its connection (numbered from 1), the
// path, the Idempotency-Key, the status, the body's length and text, and how many
// requests were open at once then (itself included). The port it listens on goes to
// --port-file once it listens.
//
//   node tls_receiver.js --key K --cert C --port-file F --log L [--protocol h1|h2]
//        [--delay-ms N] [--busy N]
'use strict';
const fs = require('fs');
const http2 = require('http2');
const https = require('https');

const options = {};
for (let i = 2; i + 1 < process.argv.length; i += 2) {
  options[process.argv[i].replace(/^--/, '')] = process.argv[i + 1];
}
const delay = Number(options['delay-ms'] || 0);
let busy = Number(options.busy || 0);
const tls = {key: fs.readFileSync(options.key), cert: fs.readFileSync(options.cert)};
let connections = 0;
let open = 0;

function onRequest(request, response) {
  open++;
  // HTTP/2: the stream's session; HTTP/1.1: the socket.
  const connection = request.stream ? request.stream.session : request.socket;
  if (connection.qvNumber === undefined) connection.qvNumber = ++connections;
  const chunks = [];
  request.on('data', (chunk) => chunks.push(chunk));
  request.on('end', () => {
    const body = Buffer.concat(chunks);
    setTimeout(() => {
      const status = busy > 0 ? 503 : 200;
      if (busy > 0) busy--;
      const entry = {
        session: connection.qvNumber,
        method: request.method,
        path: request.url,
        idempotency_key: request.headers['idempotency-key'] || null,
        status: status,
        size: body.length,
        body: body.toString('utf8'),
        concurrent: open,
      };
      open--;
      fs.appendFileSync(options.log, JSON.stringify(entry) + '\n');
      response.writeHead(status, {'content-length': '0'});
      response.end();
    }, delay);
  });
}

const server = options.protocol === 'h1' ? https.createServer(tls, onRequest)
                                         : http2.createSecureServer(tls, onRequest);
server.listen(0, '127.0.0.1', () => {
  fs.writeFileSync(options['port-file'] + '.tmp', String(server.address().port));
  fs.renameSync(options['port-file'] + '.tmp', options['port-file']);
});
process.on('SIGTERM', () => process.exit(0));
