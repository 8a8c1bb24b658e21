// The ALSA functions kelvora calls, as calls into libasound.so.2, loaded at
// the first of them (library_loader.h); snd_pcm_abort, inline in the
// header, calls snd_pcm_nonblock, and the alloca macros the sizeof functions.
#include <alsa/asoundlib.h>

#include "loader/library_loader.h"

namespace {

enum function : size_t {
  at_snd_config_update_free_global,
  at_snd_lib_error_set_handler,
  at_snd_pcm_close,
  at_snd_pcm_delay,
  at_snd_pcm_drain,
  at_snd_pcm_drop,
  at_snd_pcm_hw_params,
  at_snd_pcm_hw_params_any,
  at_snd_pcm_hw_params_get_buffer_size,
  at_snd_pcm_hw_params_get_period_size,
  at_snd_pcm_hw_params_set_access,
  at_snd_pcm_hw_params_set_buffer_time_near,
  at_snd_pcm_hw_params_set_channels,
  at_snd_pcm_hw_params_set_format,
  at_snd_pcm_hw_params_set_period_time_near,
  at_snd_pcm_hw_params_set_rate,
  at_snd_pcm_hw_params_sizeof,
  at_snd_pcm_nonblock,
  at_snd_pcm_open,
  at_snd_pcm_readi,
  at_snd_pcm_recover,
  at_snd_pcm_start,
  at_snd_pcm_state,
  at_snd_pcm_sw_params,
  at_snd_pcm_sw_params_current,
  at_snd_pcm_sw_params_set_start_threshold,
  at_snd_pcm_sw_params_sizeof,
  at_snd_pcm_writei,
  at_snd_strerror,
  function_count
};

const char* const names[] = {
    "snd_config_update_free_global",
    "snd_lib_error_set_handler",
    "snd_pcm_close",
    "snd_pcm_delay",
    "snd_pcm_drain",
    "snd_pcm_drop",
    "snd_pcm_hw_params",
    "snd_pcm_hw_params_any",
    "snd_pcm_hw_params_get_buffer_size",
    "snd_pcm_hw_params_get_period_size",
    "snd_pcm_hw_params_set_access",
    "snd_pcm_hw_params_set_buffer_time_near",
    "snd_pcm_hw_params_set_channels",
    "snd_pcm_hw_params_set_format",
    "snd_pcm_hw_params_set_period_time_near",
    "snd_pcm_hw_params_set_rate",
    "snd_pcm_hw_params_sizeof",
    "snd_pcm_nonblock",
    "snd_pcm_open",
    "snd_pcm_readi",
    "snd_pcm_recover",
    "snd_pcm_start",
    "snd_pcm_state",
    "snd_pcm_sw_params",
    "snd_pcm_sw_params_current",
    "snd_pcm_sw_params_set_start_threshold",
    "snd_pcm_sw_params_sizeof",
    "snd_pcm_writei",
    "snd_strerror",
};

void* symbols[function_count];
kelvora::library_symbols alsa{"libasound.so.2", names, symbols, function_count};

}  // namespace

// Each as its header declares it: a definition that differs does not compile.
#define KELVORA_CALL(name) kelvora::library_function<decltype(&name)>(alsa, at_##name)

extern "C" {

int snd_config_update_free_global(void) { return KELVORA_CALL(snd_config_update_free_global)(); }
int snd_lib_error_set_handler(snd_lib_error_handler_t handler) {
  return KELVORA_CALL(snd_lib_error_set_handler)(handler);
}
int snd_pcm_close(snd_pcm_t* pcm) { return KELVORA_CALL(snd_pcm_close)(pcm); }
int snd_pcm_delay(snd_pcm_t* pcm, snd_pcm_sframes_t* delayp) { return KELVORA_CALL(snd_pcm_delay)(pcm, delayp); }
int snd_pcm_drain(snd_pcm_t* pcm) { return KELVORA_CALL(snd_pcm_drain)(pcm); }
int snd_pcm_drop(snd_pcm_t* pcm) { return KELVORA_CALL(snd_pcm_drop)(pcm); }
int snd_pcm_hw_params(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) {
  return KELVORA_CALL(snd_pcm_hw_params)(pcm, params);
}
int snd_pcm_hw_params_any(snd_pcm_t* pcm, snd_pcm_hw_params_t* params) {
  return KELVORA_CALL(snd_pcm_hw_params_any)(pcm, params);
}
int snd_pcm_hw_params_get_buffer_size(const snd_pcm_hw_params_t* params, snd_pcm_uframes_t* val) {
  return KELVORA_CALL(snd_pcm_hw_params_get_buffer_size)(params, val);
}
int snd_pcm_hw_params_get_period_size(const snd_pcm_hw_params_t* params, snd_pcm_uframes_t* frames, int* dir) {
  return KELVORA_CALL(snd_pcm_hw_params_get_period_size)(params, frames, dir);
}
int snd_pcm_hw_params_set_access(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_access_t access) {
  return KELVORA_CALL(snd_pcm_hw_params_set_access)(pcm, params, access);
}
int snd_pcm_hw_params_set_buffer_time_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int* val, int* dir) {
  return KELVORA_CALL(snd_pcm_hw_params_set_buffer_time_near)(pcm, params, val, dir);
}
int snd_pcm_hw_params_set_channels(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val) {
  return KELVORA_CALL(snd_pcm_hw_params_set_channels)(pcm, params, val);
}
int snd_pcm_hw_params_set_format(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, snd_pcm_format_t val) {
  return KELVORA_CALL(snd_pcm_hw_params_set_format)(pcm, params, val);
}
int snd_pcm_hw_params_set_period_time_near(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int* val, int* dir) {
  return KELVORA_CALL(snd_pcm_hw_params_set_period_time_near)(pcm, params, val, dir);
}
int snd_pcm_hw_params_set_rate(snd_pcm_t* pcm, snd_pcm_hw_params_t* params, unsigned int val, int dir) {
  return KELVORA_CALL(snd_pcm_hw_params_set_rate)(pcm, params, val, dir);
}
size_t snd_pcm_hw_params_sizeof(void) { return KELVORA_CALL(snd_pcm_hw_params_sizeof)(); }
int snd_pcm_nonblock(snd_pcm_t* pcm, int nonblock) { return KELVORA_CALL(snd_pcm_nonblock)(pcm, nonblock); }
int snd_pcm_open(snd_pcm_t** pcm, const char* name, snd_pcm_stream_t stream, int mode) {
  return KELVORA_CALL(snd_pcm_open)(pcm, name, stream, mode);
}
snd_pcm_sframes_t snd_pcm_readi(snd_pcm_t* pcm, void* buffer, snd_pcm_uframes_t size) {
  return KELVORA_CALL(snd_pcm_readi)(pcm, buffer, size);
}
int snd_pcm_recover(snd_pcm_t* pcm, int err, int silent) { return KELVORA_CALL(snd_pcm_recover)(pcm, err, silent); }
int snd_pcm_start(snd_pcm_t* pcm) { return KELVORA_CALL(snd_pcm_start)(pcm); }
snd_pcm_state_t snd_pcm_state(snd_pcm_t* pcm) { return KELVORA_CALL(snd_pcm_state)(pcm); }
int snd_pcm_sw_params(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) {
  return KELVORA_CALL(snd_pcm_sw_params)(pcm, params);
}
int snd_pcm_sw_params_current(snd_pcm_t* pcm, snd_pcm_sw_params_t* params) {
  return KELVORA_CALL(snd_pcm_sw_params_current)(pcm, params);
}
int snd_pcm_sw_params_set_start_threshold(snd_pcm_t* pcm, snd_pcm_sw_params_t* params, snd_pcm_uframes_t val) {
  return KELVORA_CALL(snd_pcm_sw_params_set_start_threshold)(pcm, params, val);
}
size_t snd_pcm_sw_params_sizeof(void) { return KELVORA_CALL(snd_pcm_sw_params_sizeof)(); }
snd_pcm_sframes_t snd_pcm_writei(snd_pcm_t* pcm, const void* buffer, snd_pcm_uframes_t size) {
  return KELVORA_CALL(snd_pcm_writei)(pcm, buffer, size);
}
const char* snd_strerror(int errnum) { return KELVORA_CALL(snd_strerror)(errnum); }

}  // extern "C"

#undef KELVORA_CALL
