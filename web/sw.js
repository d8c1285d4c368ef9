// quolvane's service worker. It does two things for the page:
//  - it adds the headers that make the page cross-origin isolated (Cross-Origin-Opener-Policy,
//    Cross-Origin-Embedder-Policy, and Cross-Origin-Resource-Policy) to the page's own
//    responses, so that from the next visit on the game's worker gets a thread of its own and
//    its shared memory from any static server;
//  - it keeps the page's files in a cache named for this version, so that after one visit the
//    page starts with no network at all. It asks the network first, so a new build is seen at
//    once, and falls back on the cache; a new version's worker drops the old versions' caches.
'use strict';
const CACHE = 'quolvane-@PROJECT_VERSION@';
const FILES = [
  '', 'index.html', 'manifest.webmanifest', 'icon-192.png', 'icon-512.png',
  'quolvane.js', 'quolvane.wasm', 'quolvane.worker.js',
  'quolvane-simd128.js', 'quolvane-simd128.wasm', 'quolvane-simd128.worker.js',
  'quolvane-coop.js', 'quolvane-coop.wasm', 'quolvane-simd128-coop.js',
  'quolvane-simd128-coop.wasm',
];
const scope = new URL(self.registration.scope);
// The file of the page's a request is for, or null for anything else.
const pageFile = (url) => {
  if (url.origin !== scope.origin || !url.pathname.startsWith(scope.pathname)) return null;
  const name = url.pathname.slice(scope.pathname.length);
  return FILES.includes(name) ? name : null;
};

self.addEventListener('install', (event) => {
  event.waitUntil(caches.open(CACHE)
    .then((cache) => cache.addAll(FILES.map((name) => new URL(name, scope).href)))
    .then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => {
  event.waitUntil(caches.keys()
    .then((names) => Promise.all(names
      .filter((name) => name.startsWith('quolvane-') && name !== CACHE)
      .map((name) => caches.delete(name))))
    .then(() => self.clients.claim()));
});

// The response again with the isolation headers; an opaque one (a redirect, another origin's)
// cannot be rewritten and goes as it is.
const isolated = (response) => {
  if (response.type === 'opaque' || response.type === 'opaqueredirect' || response.status === 0) {
    return response;
  }
  const headers = new Headers(response.headers);
  headers.set('Cross-Origin-Opener-Policy', 'same-origin');
  headers.set('Cross-Origin-Embedder-Policy', 'require-corp');
  headers.set('Cross-Origin-Resource-Policy', 'same-origin');
  return new Response(response.body,
    { status: response.status, statusText: response.statusText, headers });
};

const answer = async (request) => {
  const url = new URL(request.url);
  const name = pageFile(url);
  const navigation = request.mode === 'navigate';
  let response;
  try {
    response = await fetch(request);
    if (name !== null && response.ok && response.type === 'basic' && url.search === '') {
      const copy = response.clone();
      caches.open(CACHE).then((cache) => cache.put(request, copy)).catch(() => {});
    }
  } catch (offline) {
    const cache = await caches.open(CACHE);
    response = name !== null || navigation
      ? await cache.match(new URL(name ?? '', scope).href) : undefined;
    if (!response) throw offline;
  }
  return isolated(response);
};

self.addEventListener('fetch', (event) => {
  const request = event.request;
  if (request.method !== 'GET' || new URL(request.url).origin !== scope.origin) return;
  event.respondWith(answer(request));
});
