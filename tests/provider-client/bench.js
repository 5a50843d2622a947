// Benchmark of notification-host serve's provider endpoint, for scripts/bench.sh: starts serve
// with the endpoint and token authentication (node-apn signs once and reuses the token), pushes from
// one node-apn provider with a fixed number of streams in flight, and times each push from its
// request to its shown line on serve's standard output (matched by apns-id).
//
//   node bench.js CONFIG   CONFIG is a JSON object:
//     host, app, keychain, socket   serve's program, app, keychain and socket
//     cert, key                     the endpoint's certificate (also trusted as the CA) and key
//     providerKey, providerPub      the provider's token key (PEM) and its public half
//     keyId, teamId                 the key's id and the app's team
//     device, topic, payload        the device token, apns-topic and payload object
//     pushes, concurrency, warmup   pushes timed, streams in flight, pushes sent first untimed
//     memoryAt                      push counts after which serve's VmRSS is read (ascending)
//   Prints one JSON object: pushesPerSecond, p50Ms, p99Ms, failed, rssKiB: {COUNT: KiB}, and the
//   CPU per timed push of serve (its extension not included) and of this client: serveCpuUs,
//   clientCpuUs.
'use strict';

const { spawn } = require('child_process');
const crypto = require('crypto');
const fs = require('fs');
const readline = require('readline');
const apn = require('@parse/node-apn');

const config = JSON.parse(process.argv[2]);

function residentKiB(pid) {
  const match = /VmRSS:\s+(\d+)/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
  return match ? Number(match[1]) : 0;
}

// CPU time (user + system) the process has used, in ms.
function cpuMs(pid) {
  const fields = fs.readFileSync(`/proc/${pid}/stat`, 'utf8').split(') ')[1].split(' ');
  return ((Number(fields[11]) + Number(fields[12])) * 1000) / 100;  // utime, stime in 1/100 s
}

function startServe() {
  const serve = spawn(
    config.host,
    ['serve', '--app', config.app, '--keychain', config.keychain, '--socket', config.socket,
      '--parallel', '8', '--provider-listen', '127.0.0.1:0', '--tls-cert', config.cert,
      '--tls-key', config.key, '--provider-key', `${config.keyId}=${config.providerPub}`],
    { stdio: ['ignore', 'pipe', 'pipe'] });
  return new Promise((resolve, reject) => {
    let said = '';
    serve.stderr.on('data', chunk => {
      said += chunk;
      const port = /provider endpoint listening on 127\.0\.0\.1:(\d+)/.exec(said);
      if (port) resolve({ serve, port: Number(port[1]) });
    });
    serve.on('exit', () => reject(new Error(`serve exited: ${said}`)));
  });
}

async function main() {
  const { serve, port } = await startServe();
  const shownAt = new Map();  // apns-id → waiter or time
  readline.createInterface({ input: serve.stdout }).on('line', line => {
    const id = JSON.parse(line).payload;
    const waiter = shownAt.get(id);
    if (typeof waiter === 'function') waiter(process.hrtime.bigint());
  });
  const provider = new apn.Provider({
    token: { key: config.providerKey, keyId: config.keyId, teamId: config.teamId },
    address: '127.0.0.1', port, ca: fs.readFileSync(config.cert),
    connectionRetryLimit: 0, requestTimeout: 30000,
  });
  // One push: resolves with ms from request to shown line, or null when not answered 200.
  function push() {
    const id = crypto.randomUUID().toUpperCase();
    const note = new apn.Notification({ id });
    note.rawPayload = config.payload;
    note.topic = config.topic;
    const start = process.hrtime.bigint();
    const shown = new Promise(resolve => shownAt.set(id, resolve));
    return provider.send(note, config.device).then(async result => {
      if (result.failed.length > 0) {
        shownAt.delete(id);
        return null;
      }
      const end = await shown;
      shownAt.delete(id);
      return Number(end - start) / 1e6;
    });
  }
  // `count` pushes with `concurrency` in flight; their times.
  async function run(count, onDone) {
    const times = [];
    let next = 0;
    let done = 0;
    async function lane() {
      while (next < count) {
        next++;
        times.push(await push());
        done++;
        if (onDone) onDone(done);
      }
    }
    await Promise.all(Array.from({ length: config.concurrency }, lane));
    return times;
  }
  await run(config.warmup);
  const rssKiB = {};
  const memoryAt = config.memoryAt || [];
  const began = process.hrtime.bigint();
  const serveCpuBefore = cpuMs(serve.pid);
  const clientCpuBefore = process.cpuUsage();
  const times = await run(config.pushes, done => {
    if (memoryAt.includes(done)) rssKiB[done] = residentKiB(serve.pid);
  });
  const seconds = Number(process.hrtime.bigint() - began) / 1e9;
  const serveCpuUs = ((cpuMs(serve.pid) - serveCpuBefore) * 1000) / config.pushes;
  const clientCpu = process.cpuUsage(clientCpuBefore);
  const clientCpuUs = (clientCpu.user + clientCpu.system) / config.pushes;
  const ok = times.filter(t => t !== null).sort((a, b) => a - b);
  const at = q => ok[Math.min(ok.length - 1, Math.floor(q * ok.length))];
  await provider.shutdown();
  serve.kill('SIGTERM');
  await new Promise(resolve => serve.on('exit', resolve));
  process.stdout.write(JSON.stringify({
    pushesPerSecond: ok.length / seconds, p50Ms: at(0.5), p99Ms: at(0.99),
    failed: times.length - ok.length, rssKiB, serveCpuUs, clientCpuUs,
  }) + '\n');
}

main().catch(error => {
  process.stderr.write(`bench.js: ${error && error.message ? error.message : error}\n`);
  process.exit(1);
});
