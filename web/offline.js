// Keeps the page usable without a network: every file of the page is fetched
// fresh when the network answers and kept, and served from what was kept
// when it does not. Nothing from any other host is ever asked for.
'use strict';

const keep = 'kelvora-page';

self.addEventListener('install', () => self.skipWaiting());
self.addEventListener('activate', (event) => event.waitUntil(self.clients.claim()));

self.addEventListener('fetch', (event) => {
  const request = event.request;
  if (request.method !== 'GET' || new URL(request.url).origin !== self.location.origin) return;
  event.respondWith((async () => {
    const kept = await caches.open(keep);
    try {
      const fresh = await fetch(request);
      if (fresh.ok) await kept.put(request, fresh.clone());
      return fresh;
    } catch (failure) {
      const answer = await kept.match(request, { ignoreSearch: true });
      if (answer) return answer;
      throw failure;
    }
  })());
});
