// The command line's outcome: the conversion settings, the mode of the run
// (conversion, --play, --read) and which options were given; process-wide
// records, assigned their defaults and the command line's values at
// start-up, read by everything else.
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
  double level_percent;       // tone amplitude in percent of full scale, above 0 and at most 100
  bool invert;                // store the sine itself instead of its negation
};

// What the run does with its file names.
enum class run_mode { convert, read, play, listen };

// The long options that choose the run: one process-wide record beside Settings.
struct run_request {
  run_mode mode;
  const char* device;  // ALSA device for --play and --listen
  const char* keep;    // --listen: file that keeps the recording, or nullptr
};

extern run_request request;

// Which options the command line gave (a reader finds the others from the recording).
struct given_options {
  bool baud_rate, channels, format_string, quantization_bits, sampling_rate, stop_bits,
      lower_carrier, level, invert;
};

extern given_options given;

extern settings_record settings;

// The layout used when no -f is given.
extern const char* const default_format_text;

// Assigns every setting its default; the format string becomes unset.
void init_settings();

// Positional words a run of the requested mode takes (2, or 1 for --play and --listen).
int32_t file_count();

// Reads and checks the options (a long option among the file names, an
// option the mode cannot use, a level silent at the sample width are
// refused); returns the index of the first positional word.
int32_t parse_options(int32_t argc, const char* const* argv);

// Ends the run with the usage text of the mode asked for (and the current settings) on standard output.
[[noreturn]] void print_usage();

// Bytes in one sample frame: channels x quantization_bits / 8.
int32_t bytes_per_frame();

// 2 pi: a tone of f Hz turns through 2 pi f radians a second.
constexpr double two_pi = 6.283185307179586;

// Signed scale of the stored sample: 8-bit 128 - a v, 16-bit -a v (a < 0 inverts).
double sample_scale();

}  // namespace kelvora
