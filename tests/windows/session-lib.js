// Reads the session file for client-win.js (host.js takes occurrences from here too);
// client-linux.py does the same in Python.
'use strict';

// The frame of a step: "json" is a control message (0xFF and the text), "hex" any bytes,
// "fill" a first byte followed by one byte repeated up to the given length.
function frameOf(step) {
  if (step.json !== undefined) return Buffer.concat([Buffer.from([0xff]), Buffer.from(step.json, 'latin1')]);
  if (step.hex !== undefined) return Buffer.from(step.hex, 'hex');
  const f = step.fill;
  return Buffer.concat([Buffer.from([f.first]), Buffer.alloc(f.length - 1, f.byte)]);
}

// The sync request behind step n: the session's template with n in place of "%d", so the
// service's log names which step's sync it has handled.
function syncText(session, n) {
  return session.sync.json.replace('%d', String(n));
}

// The steps of one part, without those tagged with a skipped tag.
function stepsOf(sessionText, part, skipped) {
  const session = JSON.parse(sessionText);
  return session.parts[part]
    .map((step, n) => {
      const text = syncText(session, n);
      return { ...step, frame: step.disconnect ? null : frameOf(step), answers: step.answers || 0,
               syncText: text, sync: frameOf({ json: text }) };
    })
    .filter((step) => !(step.needs || []).some((tag) => skipped.includes(tag)));
}

// A frame as one line: printable ASCII as it is, every other byte and the backslash as \xHH.
function frameText(frame) {
  let s = '';
  for (const b of frame) s += b >= 0x20 && b < 0x7f && b !== 0x5c ? String.fromCharCode(b) : '\\x' + b.toString(16).padStart(2, '0');
  return s;
}

function isSyncAnswer(frame) {
  try {
    return frame[0] === 0xff && JSON.parse(frame.subarray(1).toString('latin1')).msg_id === 'get_all_ports_resp';
  } catch (e) {
    return false;
  }
}

function occurrences(text, needle) {
  let n = 0;
  for (let at = text.indexOf(needle); at >= 0; at = text.indexOf(needle, at + needle.length)) n++;
  return n;
}

// Whether the service's log (line ends as \n) shows it has answered this step's sync request
// and waits again (binding logs nothing for a write that succeeded). The log is written out
// when the service is about to wait, so an earlier step's sync, or a step that is itself a
// listing, can end the log the same way while this sync is still unanswered: only the sync's
// own text tells them apart.
const AFTER_SYNC = /^get msg: get_all_ports_req\n(send_msg_to_app, Write OK\n)?set_events, events_count=\d+\n$/;
function syncHandled(log, step) {
  const head = 'get msg: ' + step.syncText + '\n';
  const at = log.lastIndexOf(head);
  return at >= 0 && AFTER_SYNC.test(log.slice(at + head.length));
}
// The service's log once it waits again, whatever it handled.
const WAITING = /set_events, events_count=\d+\n$/;
// The line the service logs when it waits for a client.
const CLIENT_AWAITED = 'now wait pipe client connect';

module.exports = { stepsOf, frameText, isSyncAnswer, occurrences, syncHandled, WAITING, CLIENT_AWAITED };
