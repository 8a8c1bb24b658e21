// Libraries a feature needs are loaded when it first needs them, not when
// the program starts: a conversion never waits for the sound card's library
// or the audio-file library (and the libraries those load) to be mapped and
// linked. Their functions are defined here as calls through the symbols
// found (alsa_functions.cc, sndfile_functions.cc).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>

namespace kelvora {

// A library by its versioned name and the functions wanted of it, found once.
struct library_symbols {
  constexpr library_symbols(const char* so, const char* const* wanted, void** found, size_t n)
      : soname(so), names(wanted), symbols(found), count(n) {}
  const char* soname;
  const char* const* names;
  void** symbols;  // symbols[k]: the address of names[k], once loaded
  size_t count;
  std::atomic<bool> loaded{false};  // read in a signal handler: lock-free
  std::mutex loading;
};

// The address of function k of the library, loading it first where it is
// not yet; fails with "cannot load NAME: reason" where the library or a
// function is missing. Safe in a signal handler once the library is loaded.
void* library_symbol(library_symbols& library, size_t k);
static_assert(std::atomic<bool>::is_always_lock_free);

// Loads libsndfile now (sndfile_functions.cc), where a failure to load it
// must come before anything is touched (a file to keep a recording in).
void load_sound_file_library();

// Function k of the library as F, the type its header declares.
template <typename F>
F library_function(library_symbols& library, size_t k) {
  void* symbol = library_symbol(library, k);
  F f;
  static_assert(sizeof f == sizeof symbol);
  std::memcpy(&f, &symbol, sizeof f);
  return f;
}

}  // namespace kelvora
