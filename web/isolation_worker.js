// The page's own service worker, for hosts that cannot send the two headers
// without which a browser does not let the page's threads share memory
// (a plain static server, most shared hosting). It hands the browser the
// page's own files as the server sent them, with the two headers added:
// the page is then cross-origin isolated and starts its threads. Responses
// from other origins pass untouched, and nothing is cached.
'use strict';

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

self.addEventListener('fetch', (event) => {
  const request = event.request;
  if (new URL(request.url).origin !== self.location.origin) return;
  // Chromium asks for this mode only from its developer tools; fetching it
  // again from here would fail.
  if (request.cache === 'only-if-cached' && request.mode !== 'same-origin') return;
  event.respondWith(fetch(request).then(withIsolationHeaders));
});
