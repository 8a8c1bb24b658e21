// Jobs that arrive before the WebAssembly is ready wait for it.
Module['waiting'] = [];
Module['onRuntimeInitialized'] = function () {
  Module['ready'] = true;
  Module['waiting'].forEach(function (job) { runJob(job); });
  Module['waiting'] = [];
};
self.onmessage = function (event) {
  if (Module['ready']) runJob(event.data);
  else Module['waiting'].push(event.data);
};
