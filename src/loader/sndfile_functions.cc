// The libsndfile functions kelvora calls, as calls into libsndfile.so.1,
// loaded at the first of them (library_loader.h).
#include <sndfile.h>

#include "loader/library_loader.h"

namespace {

enum function : size_t {
  at_sf_close,
  at_sf_command,
  at_sf_error,
  at_sf_open,
  at_sf_open_fd,
  at_sf_open_virtual,
  at_sf_readf_float,
  at_sf_readf_short,
  at_sf_strerror,
  at_sf_writef_short,
  function_count
};

const char* const names[] = {
    "sf_close",        "sf_command",     "sf_error",       "sf_open",     "sf_open_fd",
    "sf_open_virtual", "sf_readf_float", "sf_readf_short", "sf_strerror", "sf_writef_short",
};

void* symbols[function_count];
kelvora::library_symbols sndfile{"libsndfile.so.1", names, symbols, function_count};

}  // namespace

void kelvora::load_sound_file_library() { library_symbol(sndfile, 0); }

// Each as its header declares it: a definition that differs does not compile.
#define KELVORA_CALL(name) kelvora::library_function<decltype(&name)>(sndfile, at_##name)

extern "C" {

int sf_close(SNDFILE* file) { return KELVORA_CALL(sf_close)(file); }
int sf_command(SNDFILE* file, int command, void* data, int datasize) {
  return KELVORA_CALL(sf_command)(file, command, data, datasize);
}
int sf_error(SNDFILE* file) { return KELVORA_CALL(sf_error)(file); }
SNDFILE* sf_open(const char* path, int mode, SF_INFO* info) { return KELVORA_CALL(sf_open)(path, mode, info); }
SNDFILE* sf_open_fd(int fd, int mode, SF_INFO* info, int close_desc) {
  return KELVORA_CALL(sf_open_fd)(fd, mode, info, close_desc);
}
SNDFILE* sf_open_virtual(SF_VIRTUAL_IO* io, int mode, SF_INFO* info, void* user_data) {
  return KELVORA_CALL(sf_open_virtual)(io, mode, info, user_data);
}
sf_count_t sf_readf_float(SNDFILE* file, float* ptr, sf_count_t frames) {
  return KELVORA_CALL(sf_readf_float)(file, ptr, frames);
}
sf_count_t sf_readf_short(SNDFILE* file, short* ptr, sf_count_t frames) {
  return KELVORA_CALL(sf_readf_short)(file, ptr, frames);
}
const char* sf_strerror(SNDFILE* file) { return KELVORA_CALL(sf_strerror)(file); }
sf_count_t sf_writef_short(SNDFILE* file, const short* ptr, sf_count_t frames) {
  return KELVORA_CALL(sf_writef_short)(file, ptr, frames);
}

}  // extern "C"

#undef KELVORA_CALL
