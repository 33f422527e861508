// The pipe client of the Windows tier's session, in Windows node.exe: connects to the
// service's named pipe and plays the session, writing a transcript (see session.md).
//
//   node client-win.js <session file> <part> <service log> <transcript> [<skipped tag>...]
'use strict';
const fs = require('fs');
const net = require('net');
const { stepsOf, frameText, isSyncAnswer, occurrences, syncHandled, WAITING, CLIENT_AWAITED } = require('./session-lib.js');

const [sessionFile, part, logFile, transcriptFile, ...skipped] = process.argv.slice(2);
const PIPE = '\\\\.\\pipe\\qor_vport_pipe';
const TIMEOUT = 60000;
const lines = [];
const note = (line) => lines.push(line);

function readLog() {
  try {
    return fs.readFileSync(logFile, 'latin1').replace(/\r\n/g, '\n');
  } catch (e) {
    return '';
  }
}
const logCount = (needle) => occurrences(readLog(), needle);

function until(ready, what) {
  const deadline = Date.now() + TIMEOUT;
  return new Promise((resolve, reject) => {
    const tick = () => {
      if (ready()) return resolve();
      if (Date.now() > deadline) return reject(new Error('timeout: ' + what));
      setTimeout(tick, 20);
    };
    tick();
  });
}

// The client reads the pipe in byte mode (how node opens a pipe), so the service's
// messages arrive as one stream. Every message the service sends in this session is a
// control message, which begins with 0xFF and holds no 0xFF: the stream splits into
// messages there. The last piece is a whole message once its JSON text is complete.
function splitFrames(buffer) {
  const frames = [];
  let start = buffer.indexOf(0xff);
  while (start >= 0) {
    const next = buffer.indexOf(0xff, start + 1);
    const piece = buffer.subarray(start, next < 0 ? buffer.length : next);
    if (next < 0) {
      try {
        JSON.parse(piece.subarray(1).toString('latin1'));
      } catch (e) {
        break;
      }
    }
    frames.push(piece);
    start = next;
  }
  return frames;
}

class Connection {
  constructor() {
    this.received = Buffer.alloc(0);
    this.taken = 0;
    this.closed = false;
  }
  open() {
    return new Promise((resolve, reject) => {
      this.socket = net.connect(PIPE, resolve);
      this.socket.once('error', reject);
      this.socket.on('data', (d) => { this.received = Buffer.concat([this.received, d]); });
      this.socket.on('close', () => { this.closed = true; });
    });
  }
  send(frame) {
    return new Promise((resolve) => this.socket.write(frame, resolve));
  }
  async take(n, what) {
    await until(() => splitFrames(this.received).length >= this.taken + n, what);
    const frames = splitFrames(this.received).slice(this.taken, this.taken + n);
    this.taken += n;
    return frames;
  }
  close() {
    this.socket.end();
    this.socket.destroy();
  }
}

async function main() {
  let connects = 0;
  let conn = null;
  const connect = async () => {
    connects += 1;
    await until(() => logCount(CLIENT_AWAITED) >= connects, 'service waits for a client');
    conn = new Connection();
    await conn.open();
    note('connected');
  };
  await connect();
  for (const step of stepsOf(fs.readFileSync(sessionFile, 'utf8'), part, skipped)) {
    note('> ' + step.label);
    if (step.disconnect) {
      conn.close();
      await connect();
      continue;
    }
    await conn.send(step.frame);
    await conn.send(step.sync);
    const frames = await conn.take(step.answers + 1, step.label);
    for (const f of frames) note('< ' + frameText(f));
    // The sync request's answer comes last, or the step's answers were miscounted.
    if (!isSyncAnswer(frames[frames.length - 1])) throw new Error('answers out of step after ' + step.label);
    // The service has handled the step's sync request and waits again: the next thing the
    // client does meets it at the same point on every run.
    await until(() => syncHandled(readLog(), step), 'service idle after ' + step.label);
  }
  // Leave once the service has seen the client go and waits for the next one, so its
  // log is complete when the host is ended.
  conn.close();
  await until(() => logCount(CLIENT_AWAITED) > connects && WAITING.test(readLog()), 'service waits for the next client');
  fs.writeFileSync(transcriptFile, lines.join('\n') + '\n');
}

main().catch((e) => {
  lines.push('error: ' + e.message);
  fs.writeFileSync(transcriptFile, lines.join('\n') + '\n');
  process.exit(1);
});
