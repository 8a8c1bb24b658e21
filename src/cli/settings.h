// The conversion settings: one process-wide record, assigned its defaults and
// the command line's values at start-up, read by everything else.
#pragma once

#include <cstdint>

namespace kelvora {

struct settings_record {
  int32_t baud_rate;          // bit cells per second
  int32_t channels;           // 1 or 2, every channel carries the same signal
  const char* format_string;  // layout of the recording; nullptr until set
  int32_t quantization_bits;  // 8 or 16 bits per sample
  int32_t sampling_rate;      // sample frames per second
  int32_t stop_bits;          // stop bits after every byte
  int32_t lower_carrier;      // Hz of a 0 cell; a 1 cell uses twice this
};

extern settings_record settings;

// The layout used when no -f is given.
extern const char* const default_format_text;

// Assigns every setting its default; the format string becomes unset.
void init_settings();

// Reads and checks the options; returns the index of the first positional word.
int32_t parse_options(int32_t argc, const char* const* argv);

// Ends the run with the usage text (and the current settings) on standard output.
[[noreturn]] void print_usage();

// Bytes in one sample frame: channels x quantization_bits / 8.
int32_t bytes_per_frame();

}  // namespace kelvora
