// Pushes to the provider endpoint as a provider's server does, for the endpoint tests.
//
//   node send.js CONFIG      CONFIG is a JSON object:
//     port, ca           the endpoint on 127.0.0.1 and the PEM file of the CA that signed it
//     key, keyId, teamId the provider's token key (PEM file), its key id and team
//     device, topic      the device token and the apns-topic
//     payload            the payload object; count: how many pushes, all sent at once
//     clients            connections to spread them over (a provider pool), default 1
//     notification       extra Notification fields (priority, pushType, expiry, collapseId, id)
//     retries            how often node-apn may retry 429/503/5xx answers, default 0
//   Prints one JSON line per push: {"status": 200, "apnsId": ID} or {"status": N, "reason": R},
//   or {"error": TEXT} when no answer came; then {"sent": N, "failed": N}.
//
//   node send.js --hold CONFIG   one push by hand (node's own HTTP/2 client, no token): sends the
//     headers, prints {"held": true}, waits for a line on standard input, sends the body and
//     prints {"status": N, "reason": R, "goaway": true|false}. For the shutdown test.
//
//   node send.js --ping CONFIG   a connection that only sends PINGs, every 20 ms, and never a
//     request; prints {"closed": true} once the server has closed it.
'use strict';

const fs = require('fs');
const http2 = require('http2');
const readline = require('readline');
const apn = require('@parse/node-apn');

function print(object) {
  process.stdout.write(JSON.stringify(object) + '\n');
}

function outcome(result) {
  if (result.status !== undefined) {
    const reason = result.response ? result.response.reason : undefined;
    return { status: Number(result.status), reason };
  }
  if (result.error) return { error: String(result.error.message || result.error) };
  return { status: 200, apnsId: result['apns-id'] };
}

async function sendMany(config) {
  const options = {
    token: { key: config.key, keyId: config.keyId, teamId: config.teamId },
    address: '127.0.0.1',
    port: config.port,
    ca: fs.readFileSync(config.ca),
    connectionRetryLimit: config.retries || 0,
    requestTimeout: 10000,
  };
  const clients = config.clients || 1;
  const provider =
    clients > 1
      ? new apn.MultiProvider({ ...options, clientCount: clients })
      : new apn.Provider(options);
  const sends = [];
  for (let i = 0; i < (config.count || 1); i++) {
    const note = new apn.Notification(config.notification || {});
    note.rawPayload = config.payload;
    note.topic = config.topic;
    sends.push(provider.send(note, config.device));
  }
  let sent = 0;
  let failed = 0;
  for (const result of await Promise.all(sends)) {
    for (const each of result.sent) {
      print(outcome(each));
      sent++;
    }
    for (const each of result.failed) {
      print(outcome(each));
      failed++;
    }
  }
  print({ sent, failed });
  await provider.shutdown();
}

function sendHeld(config) {
  const session = http2.connect(`https://127.0.0.1:${config.port}`, {
    ca: fs.readFileSync(config.ca),
  });
  let goaway = false;
  session.on('goaway', () => {
    goaway = true;
  });
  session.on('error', error => print({ error: String(error.message) }));
  const stream = session.request(
    {
      ':method': 'POST',
      ':path': `/3/device/${config.device}`,
      'apns-topic': config.topic,
    },
    { endStream: false }
  );
  let status = 0;
  let body = '';
  stream.on('response', headers => {
    status = headers[':status'];
  });
  stream.setEncoding('utf8');
  stream.on('data', chunk => {
    body += chunk;
  });
  stream.on('end', () => {
    const reason = body ? JSON.parse(body).reason : undefined;
    print({ status, reason, goaway });
    session.close();
  });
  stream.on('error', error => print({ error: String(error.message) }));
  // Held once the server has the request's headers: they were written before the second ping,
  // which went out only when the first came back, and the server reads in order.
  stream.once('ready', () => {
    session.ping(() => {
      session.ping(() => {
        print({ held: true });
        const input = readline.createInterface({ input: process.stdin });
        input.once('line', () => {
          input.close();
          stream.end(JSON.stringify(config.payload));
        });
      });
    });
  });
}

function pingOnly(config) {
  const session = http2.connect(`https://127.0.0.1:${config.port}`, {
    ca: fs.readFileSync(config.ca),
  });
  session.on('error', () => {});
  const timer = setInterval(() => {
    if (!session.closed && !session.destroyed) session.ping(() => {});
  }, 20);
  session.on('close', () => {
    clearInterval(timer);
    print({ closed: true });
  });
}

const args = process.argv.slice(2);
if (args[0] === '--hold') {
  sendHeld(JSON.parse(args[1]));
} else if (args[0] === '--ping') {
  pingOnly(JSON.parse(args[1]));
} else {
  sendMany(JSON.parse(args[0])).catch(error => {
    print({ error: String(error && error.message ? error.message : error) });
    process.exit(1);
  });
}
