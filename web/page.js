// The page around the program: checks what the browser must offer, then
// loads sph.js and plays the console (prompt, answer field, messages) and
// the keyboard for it. Everything the simulator decides (which answers are
// taken, what keys do, what is drawn, the title) is decided in its C++ code.
'use strict';

const output = document.getElementById('output');
const answerForm = document.getElementById('answer');
const answerLine = document.getElementById('line');
const arrowButtons = document.querySelectorAll('#arrows button');
let running = false;  // frames started and not ended

function showMessage(text, isError = true) {
  const message = document.getElementById('message');
  message.textContent = text;
  message.className = isError ? 'error' : '';
  message.hidden = false;
}

function write(text, isError) {
  const span = document.createElement('span');
  span.textContent = text;
  if (isError) span.className = 'error';
  output.appendChild(span);
}

// Why the program cannot run in this browser, in plain words, or null.
function whatIsMissing() {
  // Tiny modules: one with a SIMD instruction, one with shared memory.
  const simd = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 4, 1, 96, 0, 0, 3, 2, 1, 0, 10, 9, 1, 7, 0, 65, 0,
    253, 15, 26, 11]);
  const sharedMemory = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 5, 4, 1, 3, 1, 1]);
  if (typeof WebAssembly !== 'object' || !WebAssembly.validate(simd) || !WebAssembly.validate(sharedMemory)) {
    return 'This browser cannot run the simulator: it needs WebAssembly with threads and SIMD ' +
      '(Chrome or Edge 91, Firefox 89, Safari 16.4 or later).';
  }
  if (location.protocol === 'file:') {
    return 'This page must come from a web server, not from a file: ' +
      'run "bash scripts/web.sh" and open the address it prints.';
  }
  if (!window.crossOriginIsolated || typeof SharedArrayBuffer !== 'function') {
    return 'This page cannot start its threads because the web server did not send the two headers ' +
      '"Cross-Origin-Opener-Policy: same-origin" and "Cross-Origin-Embedder-Policy: require-corp". ' +
      'Without them the browser does not let threads share memory. "bash scripts/web.sh" serves the page with both.';
  }
  const probe = document.createElement('canvas').getContext('webgl');
  if (!probe) return 'This browser cannot draw the picture: WebGL is turned off or not supported here.';
  const lose = probe.getExtension('WEBGL_lose_context');  // give the context back at once
  if (lose) lose.loseContext();
  return null;
}

function answer(line) {
  write(line + '\n', false);  // the echo a terminal shows
  if (Module.ccall('sphAnswer', 'number', ['string'], [line]) === 1) {
    answerForm.hidden = true;
    running = true;
    arrowButtons.forEach((button) => { button.disabled = false; });
    document.getElementById('canvas').focus();
  }
}

// The arrows as GLUT numbers them; the program maps them to held keys.
const ARROWS = { ArrowLeft: 100, ArrowUp: 101, ArrowRight: 102, ArrowDown: 103 };

function holdArrow(code, down) {
  if (running) Module._sphSpecialKey(code, down ? 1 : 0);
}

function releaseArrows() {
  Object.values(ARROWS).forEach((code) => holdArrow(code, false));
}

window.addEventListener('keydown', (event) => {
  if (!running) return;
  if (event.key in ARROWS) {
    event.preventDefault();  // turn the box, not scroll the page
    holdArrow(ARROWS[event.key], true);
  } else if (event.key === 'Escape') {
    event.preventDefault();
    Module._sphKey(27);
  } else if (event.key.length === 1 && !event.ctrlKey && !event.metaKey && !event.altKey) {
    Module._sphKey(event.key.charCodeAt(0));  // the program ignores these; the browser keeps them too
  }
});
window.addEventListener('keyup', (event) => {
  if (event.key in ARROWS) holdArrow(ARROWS[event.key], false);
});
// A key released in another window never reports it here.
window.addEventListener('blur', releaseArrows);

// On-screen arrows for touch screens, held while pressed.
arrowButtons.forEach((button) => {
  const code = Number(button.dataset.key);
  button.disabled = true;
  button.addEventListener('pointerdown', (event) => {
    button.setPointerCapture(event.pointerId);
    holdArrow(code, true);
  });
  ['pointerup', 'pointercancel', 'lostpointercapture'].forEach((type) =>
    button.addEventListener(type, () => holdArrow(code, false)));
  button.addEventListener('contextmenu', (event) => event.preventDefault());
});

// A hidden page computes nothing.
document.addEventListener('visibilitychange', () => {
  if (!running) return;
  if (document.hidden) Module.pauseMainLoop();
  else Module.resumeMainLoop();
});

answerForm.addEventListener('submit', (event) => {
  event.preventDefault();
  const line = answerLine.value;
  answerLine.value = '';
  if (line.trim() !== '') answer(line);  // a blank line is no answer
});

function start() {
  let prompted = false;
  window.Module = {
    canvas: document.getElementById('canvas'),
    // Workers the program can run passes on: as many as the processors the
    // browser reports, within reason.
    sphWorkers: Math.min(Math.max(navigator.hardwareConcurrency || 2, 2), 16),
    // The program's dialogue comes through sphConsole; what else the
    // runtime prints (its own warnings) is for developers.
    print: (text) => console.log(text),
    printErr: (text) => console.warn(text),
    // kind: 0 output, 1 error, 2 a prompt, after which the program waits for a line.
    sphConsole: (text, kind) => {
      write(text, kind === 1);
      if (kind === 2) {
        prompted = true;
        answerForm.hidden = false;
        answerLine.focus();
      }
    },
    sphEnded: () => {
      releaseArrows();
      running = false;
      arrowButtons.forEach((button) => { button.disabled = true; });
      showMessage('The program has ended (Escape). Reload the page to run it again.', false);
    },
    // ?threads=N answers the question as if it were typed.
    postRun: [() => {
      const given = new URLSearchParams(location.search).get('threads');
      if (given !== null) answer(given);
    }],
    onAbort: (what) => showMessage('The program stopped with an error: ' + what),
  };
  window.addEventListener('error', (event) => showMessage('The program stopped with an error: ' + event.message));
  const script = document.createElement('script');
  script.src = 'sph.js';
  script.onerror = () => showMessage('The program (sph.js) could not be loaded from the server.');
  document.body.appendChild(script);
  setTimeout(() => {
    if (!prompted) showMessage('The program did not start within a minute: its files or its worker threads ' +
      '(sph.wasm, sph.worker.js) did not load.');
  }, 60000);
}

const missing = whatIsMissing();
if (missing) showMessage(missing);
else start();
