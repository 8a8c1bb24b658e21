// Loading a library when it is first needed (library_loader.h): every
// function at once, so that a signal handler only ever reads the table.
#include "loader/library_loader.h"

#include <dlfcn.h>

#include <string>
#include <string_view>

#include "cli/failure.h"

namespace kelvora {

namespace {

// "cannot load NAME: reason", the system's reason without the file name it
// may start with ("/usr/lib/.../NAME: file too short").
[[noreturn]] void cannot_load(const char* soname) {
  const char* said = dlerror();
  std::string reason = said != nullptr ? said : "unknown reason";
  const size_t colon = reason.find(": ");
  if (colon != std::string::npos && std::string_view(reason).substr(0, colon).ends_with(soname)) {
    reason.erase(0, colon + 2);
  }
  fail(std::string("cannot load ") + soname + ": " + reason);
}

}  // namespace

void* library_symbol(library_symbols& library, size_t k) {
  if (!library.loaded.load(std::memory_order_acquire)) {
    const std::lock_guard<std::mutex> hold(library.loading);
    if (!library.loaded.load(std::memory_order_relaxed)) {
      void* handle = dlopen(library.soname, RTLD_NOW | RTLD_LOCAL);
      if (handle == nullptr) cannot_load(library.soname);
      for (size_t n = 0; n < library.count; ++n) {
        library.symbols[n] = dlsym(handle, library.names[n]);
        if (library.symbols[n] == nullptr) cannot_load(library.soname);
      }
      library.loaded.store(true, std::memory_order_release);  // the handle stays open for the process
    }
  }
  return library.symbols[k];
}

}  // namespace kelvora
