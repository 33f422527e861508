// Hosts a module for the Windows tier, the same script in Windows node.exe under Wine
// and in Linux node on the stand-in. Its own lines go to a results file, so standard
// output holds the module's log alone, in the order the module wrote it.
//
//   node host.js <module> <results file> <log file> <stop file> <action>...
//     call:<function>   call an export (with stray arguments) and print its answer
//     wait:<n>:<text>   wait until the log holds <text> n times
// When the actions are done it waits for the stop file to appear, then exits.
'use strict';
const fs = require('fs');
const { occurrences } = require('./session-lib.js');

const [modulePath, resultsFile, logFile, stopFile, ...actions] = process.argv.slice(2);
const say = (line) => fs.appendFileSync(resultsFile, line + '\n');

function logHas(count, needle) {
  try {
    return occurrences(fs.readFileSync(logFile, 'latin1'), needle) >= count;
  } catch (e) {
    return false;
  }
}

// Polls `ready` every 20 ms; gives up after a generous minute.
function waitFor(ready, what, then) {
  const deadline = Date.now() + 60000;
  const tick = () => {
    if (ready()) return then();
    if (Date.now() > deadline) {
      say('timeout: ' + what);
      process.exit(3);
    }
    setTimeout(tick, 20);
  };
  tick();
}

const mod = require(modulePath);
say('exports: ' + JSON.stringify(Object.keys(mod)));

function run(i) {
  if (i === actions.length)
    return waitFor(() => fs.existsSync(stopFile), 'stop file', () => process.exit(0));
  const action = actions[i];
  if (action.startsWith('call:')) {
    const name = action.slice(5);
    const value = mod[name](42, 'ignored', { any: 'thing' });
    say(name + ': ' + (value === undefined ? 'undefined' : JSON.stringify(value)));
    return run(i + 1);
  }
  const [, count, text] = action.match(/^wait:(\d+):(.*)$/);
  waitFor(() => logHas(Number(count), text), 'log line ' + text, () => run(i + 1));
}
run(0);
