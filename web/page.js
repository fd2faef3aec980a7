// The page around the program: checks what the browser offers, chooses the
// build it can run (threads where the browser lets the page share memory,
// the single-thread build elsewhere), loads it and plays the console (prompt,
// answer field, messages) and the keyboard, buttons and tilt for it.
// Everything the simulator decides (which answers are taken, what keys do,
// what is drawn, the title) is decided in its C++ code.
'use strict';

const output = document.getElementById('output');
const answerForm = document.getElementById('answer');
const answerLine = document.getElementById('line');
const arrowButtons = document.querySelectorAll('#arrows button');
const endButton = document.getElementById('end');
const againButton = document.getElementById('again');
const touchScreen = window.matchMedia('(pointer: coarse)').matches;
let running = false;  // frames started and not ended
let threadsTaken = 0;

const THREADED = { script: 'sph.js', files: 'sph.wasm, sph.worker.js' };
const SINGLE_THREAD = { script: 'sph-single-thread.js', files: 'sph-single-thread.wasm' };
// Set in this tab's session before the reload that lets the page's service
// worker isolate it, so that a browser that bypasses the worker gets one
// reload, never a loop.
const RELOADED_FOR_WORKER = 'sph-reloaded-for-isolation';

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
  // A tiny module with a SIMD instruction.
  const simd = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 1, 4, 1, 96, 0, 0, 3, 2, 1, 0, 10, 9, 1, 7, 0, 65, 0,
    253, 15, 26, 11]);
  if (typeof WebAssembly !== 'object' || !WebAssembly.validate(simd)) {
    return 'This browser cannot run the simulator: it needs WebAssembly with SIMD ' +
      '(Chrome or Edge 91, Firefox 89, Safari 16.4 or later).';
  }
  if (location.protocol === 'file:') {
    return 'This page must come from a web server, not from a file: ' +
      'run "bash scripts/web.sh" and open the address it prints.';
  }
  const probe = document.createElement('canvas').getContext('webgl');
  if (!probe) return 'This browser cannot draw the picture: WebGL is turned off or not supported here.';
  const lose = probe.getExtension('WEBGL_lose_context');  // give the context back at once
  if (lose) lose.loseContext();
  return null;
}

function reloadedForWorker(mark) {
  try {
    if (mark === undefined) return sessionStorage.getItem(RELOADED_FOR_WORKER) !== null;
    if (mark) sessionStorage.setItem(RELOADED_FOR_WORKER, '1');
    else sessionStorage.removeItem(RELOADED_FOR_WORKER);
    return true;
  } catch (error) {
    return mark === undefined;  // no session storage: no guard, so no reload
  }
}

function singleThread(why, more) {
  return { build: SINGLE_THREAD, reason: `${why}, so the simulator runs on one thread here; ${more}.` };
}

// The build this browser can run, with the reason when it gets one thread;
// or null when the page reloads itself first.
async function chooseBuild() {
  const sharedMemory = new Uint8Array([0, 97, 115, 109, 1, 0, 0, 0, 5, 4, 1, 3, 1, 1]);
  const threadingBrowsers = 'Chrome, Edge, Firefox or Safari 16.4 and later run it on several';
  if (!WebAssembly.validate(sharedMemory)) {
    return singleThread('This browser\'s WebAssembly has no threads', threadingBrowsers);
  }
  if (window.crossOriginIsolated) {
    reloadedForWorker(false);
    if (typeof SharedArrayBuffer === 'function') return { build: THREADED };
    return singleThread('This browser does not let a page\'s threads share memory (it has no SharedArrayBuffer)',
      threadingBrowsers);
  }
  if (window.top !== window) {
    return singleThread('This page is shown inside another page, which keeps its threads from sharing memory',
      'opened in a tab of its own it runs on several');
  }
  const serverHeaders = 'from a server that sends "Cross-Origin-Opener-Policy: same-origin" and ' +
    '"Cross-Origin-Embedder-Policy: require-corp" it runs on several';
  if (!('serviceWorker' in navigator)) {
    return singleThread('The server does not send the two headers that let a page\'s threads share memory, and ' +
      'this window has no service workers to add them (a private window, or a page neither on https nor on ' +
      'this machine)', `in a normal window over https, or ${serverHeaders}`);
  }
  if (reloadedForWorker()) {
    return singleThread('The page\'s service worker, which adds the two headers that let its threads share ' +
      'memory, did not take effect (the browser loaded the page without it)', serverHeaders);
  }
  try {
    await navigator.serviceWorker.register('isolation_worker.js');
    await Promise.race([navigator.serviceWorker.ready, new Promise((resolve, reject) =>
      setTimeout(() => reject(new Error('it did not start within 10 seconds')), 10000))]);
  } catch (error) {
    return singleThread('The page\'s service worker, which adds the two headers that let its threads share ' +
      `memory, could not start (${error.message})`, serverHeaders);
  }
  if (!reloadedForWorker(true)) {
    return singleThread('This browser keeps no session storage, without which the page cannot reload itself ' +
      'safely to let its service worker share memory between threads', serverHeaders);
  }
  location.reload();  // the worker serves the page from now on
  return null;
}

function setControls(enabled) {
  // Tilt too: an arrow held before the run would never reach the program.
  [...arrowButtons, endButton, document.getElementById('tilt')].forEach((button) => { button.disabled = !enabled; });
}

function answer(typed) {
  // As the field, so that no paste, however long, ever reaches the program
  // whole: it reads a line as a console does, and a longer one is no number.
  const line = typed.slice(0, answerLine.maxLength);
  write(line + '\n', false);  // the echo a terminal shows
  const taken = Module.ccall('sphAnswer', 'number', ['string'], [line]);
  if (taken > 0) {
    threadsTaken = taken;
    answerForm.hidden = true;
    running = true;
    setControls(true);
    document.getElementById('canvas').focus();
  }
}

// The arrows as GLUT numbers them; the program maps them to held keys.
const ARROWS = { ArrowLeft: 100, ArrowUp: 101, ArrowRight: 102, ArrowDown: 103 };
const ESCAPE = 27;

// The keyboard, the buttons and tilt can hold the same arrow at once: the
// program sees it held while any of them holds it, so letting go of one
// leaves the others' hold standing.
const holders = new Map(Object.values(ARROWS).map((code) => [code, new Set()]));

function holdArrow(code, down, source) {
  const by = holders.get(code);
  const wasHeld = by.size > 0;
  if (down) by.add(source);
  else by.delete(source);
  if (running && wasHeld !== by.size > 0) Module._sphSpecialKey(code, down ? 1 : 0);
}

function releaseArrows(...sources) {
  holders.forEach((by, code) =>
    [...by].filter((source) => sources.includes(source)).forEach((source) => holdArrow(code, false, source)));
}

window.addEventListener('keydown', (event) => {
  if (!running) return;
  if (event.key in ARROWS) {
    event.preventDefault();  // turn the box, not scroll the page
    holdArrow(ARROWS[event.key], true, 'key');
  } else if (event.key === 'Escape') {
    event.preventDefault();
    Module._sphKey(ESCAPE);
  } else if (event.key.length === 1 && !event.ctrlKey && !event.metaKey && !event.altKey) {
    Module._sphKey(event.key.charCodeAt(0));  // the program ignores these; the browser keeps them too
  }
});
window.addEventListener('keyup', (event) => {
  if (event.key in ARROWS) holdArrow(ARROWS[event.key], false, 'key');
});
// A key or pointer let go in another window never reports it here; tilt
// goes on reporting its own.
window.addEventListener('blur', () => releaseArrows('key', 'button'));

// On-screen arrows for touch screens, held while pressed.
arrowButtons.forEach((button) => {
  const code = Number(button.dataset.key);
  button.addEventListener('pointerdown', (event) => {
    button.setPointerCapture(event.pointerId);
    holdArrow(code, true, 'button');
  });
  ['pointerup', 'pointercancel', 'lostpointercapture'].forEach((type) =>
    button.addEventListener(type, () => holdArrow(code, false, 'button')));
  button.addEventListener('contextmenu', (event) => event.preventDefault());
});
setControls(false);

const tiltButton = document.getElementById('tilt');
const tilt = setUpTilt(tiltButton, (code, down) => holdArrow(code, down, 'tilt'));
tiltButton.hidden = !touchScreen;
document.getElementById('help').textContent = touchScreen
  ? 'Hold an arrow button, or switch tilt on and tilt the device, to turn the box; End ends the run.'
  : 'The arrow keys (or the buttons) turn the box while held; Escape (or End) ends the run.';

endButton.addEventListener('click', () => { if (running) Module._sphKey(ESCAPE); });
// A new run of the program: the page again, with the question answered as before.
againButton.addEventListener('click', () => {
  const address = new URL(location.href);
  address.searchParams.set('threads', String(threadsTaken));
  location.assign(address.href);
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

function start(build) {
  let prompted = false;
  window.Module = {
    canvas: document.getElementById('canvas'),
    // Workers the threaded build can run passes on: as many as the
    // processors the browser reports, within reason.
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
      tilt.switchOff();
      releaseArrows('key', 'button');
      running = false;
      setControls(false);
      endButton.hidden = true;
      againButton.hidden = false;
      showMessage('The program has ended. "Start again" runs it anew.', false);
    },
    // ?threads=N answers the question as if it were typed; with one thread
    // there is nothing to choose.
    postRun: [() => {
      const given = new URLSearchParams(location.search).get('threads');
      if (given !== null) answer(given);
      else if (build === SINGLE_THREAD) answer('1');
    }],
    onAbort: (what) => showMessage('The program stopped with an error: ' + what),
  };
  window.addEventListener('error', (event) => showMessage('The program stopped with an error: ' + event.message));
  const script = document.createElement('script');
  script.src = build.script;
  script.onerror = () => showMessage(`The program (${build.script}) could not be loaded from the server.`);
  document.body.appendChild(script);
  setTimeout(() => {
    if (!prompted) showMessage(`The program did not start within a minute: its files (${build.files}) did not load.`);
  }, 60000);
}

const missing = whatIsMissing();
if (missing) {
  showMessage(missing);
} else {
  chooseBuild().then((choice) => {
    if (!choice) return;
    if (choice.reason) showMessage(choice.reason, false);
    start(choice.build);
  });
}
