// A host process for the module, driven line by line on standard input:
//   load <path>   require() the module and print its export names
//   call <name>   call an exported function (with stray arguments) and print the result
//   exit          end the process
// Results are printed as "result <name>: <JSON>" so tests can read them among the
// module's own log lines.
'use strict';
const readline = require('readline');

let mod = null;
const out = (line) => process.stdout.write(line + '\n');

readline.createInterface({ input: process.stdin }).on('line', (line) => {
  const [cmd, arg] = [line.split(' ')[0], line.slice(line.indexOf(' ') + 1)];
  try {
    if (cmd === 'load') {
      mod = require(arg);
      out('exports: ' + JSON.stringify(Object.keys(mod)));
    } else if (cmd === 'call') {
      const value = mod[arg](42, 'ignored', { any: 'thing' });
      out('result ' + arg + ': ' + (value === undefined ? 'undefined' : JSON.stringify(value)));
    } else if (cmd === 'exit') {
      process.exit(0);
    }
  } catch (e) {
    out('error: ' + e.message);
  }
}).on('close', () => process.exit(0));
