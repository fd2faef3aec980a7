// The page's own service worker, for hosts that cannot send the two headers
// without which a browser does not let the page's threads share memory
// (a plain static server, most shared hosting). It hands the browser the
// simulator's own files (the page and what it loads, listed below) as the
// server sent them, with the two headers added: the page is then
// cross-origin isolated and starts its threads. Every other request, for
// other pages of the same folder and whatever they load, goes to the server
// as if there were no worker: isolating them would block their pictures and
// frames from other sites. Nothing is cached. Once the server no longer has
// this script, the worker unregisters itself.
'use strict';

// The files the web build puts beside this script; the folder's own address
// is the page as well.
const PAGE_FILES = ['./', 'index.html', 'page.js', 'page.css', 'tilt.js', 'sph.js', 'sph.wasm', 'sph.worker.js',
  'sph-single-thread.js', 'sph-single-thread.wasm'];
const OWN_ADDRESSES = new Set(PAGE_FILES.map((name) => new URL(name, self.location.href).href));

self.addEventListener('install', () => self.skipWaiting());
// The page that registered the worker is reloaded by page.js once the
// worker is active; claiming it lets that reload come through here.
self.addEventListener('activate', (event) => event.waitUntil(self.clients.claim()));

function withIsolationHeaders(response) {
  // Opaque answers (a redirect of a page load) cannot be rebuilt, and the
  // browser does not isolate anything through them.
  if (response.status === 0) return response;
  const headers = new Headers(response.headers);
  headers.set('Cross-Origin-Opener-Policy', 'same-origin');
  headers.set('Cross-Origin-Embedder-Policy', 'require-corp');
  return new Response(response.body, { status: response.status, statusText: response.statusText, headers });
}

// A server that answers "not found" for this script no longer publishes the
// page: the worker leaves. It reloads nothing; the pages open now keep what
// they loaded, and every later load comes from the server alone. The
// browser's own update check keeps a registration whose script is gone.
async function leaveIfRemoved() {
  let answer;
  try {
    answer = await fetch(self.location.href, { method: 'HEAD', cache: 'no-store' });
  } catch (error) {
    return;  // offline, or the server is down: no news of the script
  }
  if (answer.status === 404 || answer.status === 410) await self.registration.unregister();
}

function ownAddress(url) {
  const address = new URL(url);
  address.search = '';
  address.hash = '';
  return OWN_ADDRESSES.has(address.href);
}

self.addEventListener('fetch', (event) => {
  const request = event.request;
  if (request.mode === 'navigate') event.waitUntil(leaveIfRemoved());
  if (!ownAddress(request.url)) return;  // not even looked at: the browser fetches it as usual
  // Chromium asks for this mode only from its developer tools; fetching it
  // again from here would fail.
  if (request.cache === 'only-if-cached' && request.mode !== 'same-origin') return;
  event.respondWith(fetch(request).then(withIsolationHeaders));
});
