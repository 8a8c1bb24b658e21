// Settings and the option scan. Every option word is compared, in a fixed
// chain, with -b -c -f -q -r -s -w; after a match its value becomes the word
// that the rest of the chain is compared with. Numbers are read like atoi.
#include "cli/settings.h"

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cli/failure.h"

namespace kelvora {

settings_record settings;
run_request request;
given_options given;

const char* const default_format_text = "b2.0 h3.5 d16 h0.5 d h0.05 b0.6";

namespace {

const char* const io_format_text = "b2.0 h3.5 d17 h0.05 b3.5 h3.5 d h0.05 b0.6";
const char* const bin_format_text = "b2.0 h3.5 d h0.05 b0.6";

// The preset texts are constants that live as long as the process; any other
// value is the layout itself.
const char* format_text_for(const char* value) {
  if (std::strcmp(value, "io") == 0) return io_format_text;
  if (std::strcmp(value, "bin") == 0) return bin_format_text;
  return value;
}

struct numeric_option {
  char letter;
  int32_t settings_record::*field;
  bool given_options::*given_flag;
  int32_t lowest;  // lowest valid value
  int32_t only_a;  // when non-zero, the valid values are only_a and only_b
  int32_t only_b;
  const char* message;
};

const numeric_option numeric_options[] = {
    {'b', &settings_record::baud_rate, &given_options::baud_rate, 1, 0, 0, "illegal baud rate"},
    {'c', &settings_record::channels, &given_options::channels, 1, 1, 2, "the number of channels must be 1 or 2"},
    {'q', &settings_record::quantization_bits, &given_options::quantization_bits, 8, 8, 16, "sampling bit must be 8 or 16"},
    {'r', &settings_record::sampling_rate, &given_options::sampling_rate, 1, 0, 0, "illegal sampling rate"},
    {'s', &settings_record::stop_bits, &given_options::stop_bits, 0, 0, 0, "illegal stop bit"},
    {'w', &settings_record::lower_carrier, &given_options::lower_carrier, 1, 0, 0, "illegal carrier frequency"},
};

// Reads a number the way atoi does; false when it lies outside 32 bits.
bool parse_option_number(const char* text, int32_t& value) {
  const char* p = text;
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  int64_t magnitude = 0;
  bool in_range = true;
  for (; *p >= '0' && *p <= '9'; ++p) {
    magnitude = magnitude * 10 + (*p - '0');
    if (magnitude > int64_t{1} << 31) {
      in_range = false;
      magnitude = int64_t{1} << 31;  // keeps the product below from overflowing
    }
  }
  const int64_t signed_value = negative ? -magnitude : magnitude;
  if (signed_value > INT32_MAX || signed_value < INT32_MIN) in_range = false;
  value = in_range ? static_cast<int32_t>(signed_value) : 0;
  return in_range;
}

void apply_option(char letter, const char* value) {
  if (letter == 'f') {
    settings.format_string = format_text_for(value);
    given.format_string = true;
    return;
  }
  for (const numeric_option& option : numeric_options) {
    if (option.letter != letter) continue;
    int32_t number = 0;
    const bool in_range = parse_option_number(value, number);
    settings.*option.field = number;
    given.*option.given_flag = true;
    const bool valid = option.only_a != 0 ? (number == option.only_a || number == option.only_b)
                                          : number >= option.lowest;
    if (!in_range || !valid) fail(option.message);
    return;
  }
}

// Options a mode cannot use: the recording read back says its own rate,
// width, channels, layout, level and polarity; a tape heard is recorded at
// the rate and channels asked for, 16-bit, and says the rest.
struct refused_option {
  run_mode mode;
  bool given_options::*flag;
  const char* name;
};

const refused_option refused_options[] = {
    {run_mode::read, &given_options::channels, "-c"},
    {run_mode::read, &given_options::format_string, "-f"},
    {run_mode::read, &given_options::quantization_bits, "-q"},
    {run_mode::read, &given_options::sampling_rate, "-r"},
    {run_mode::read, &given_options::level, "--level"},
    {run_mode::read, &given_options::invert, "--invert"},
    {run_mode::listen, &given_options::format_string, "-f"},
    {run_mode::listen, &given_options::quantization_bits, "-q"},
    {run_mode::listen, &given_options::level, "--level"},
    {run_mode::listen, &given_options::invert, "--invert"},
};

const char* mode_option(run_mode mode) {
  switch (mode) {
    case run_mode::read:
      return "--read";
    case run_mode::play:
      return "--play";
    case run_mode::listen:
      return "--listen";
    case run_mode::convert:
      break;
  }
  return "conversion";
}

// Fails naming every option given that the mode cannot use.
void refuse_unused_options() {
  std::string names;
  for (const refused_option& option : refused_options) {
    if (option.mode != request.mode || !(given.*option.flag)) continue;
    names += (names.empty() ? "" : ", ") + std::string(option.name);
  }
  if (!names.empty()) fail(std::string(mode_option(request.mode)) + " cannot use " + names);
}

void check_cross_fields() {
  refuse_unused_options();
  // A reading finds what it is not told: only a carrier and a baud rate both told must agree.
  const bool finds = request.mode == run_mode::read || request.mode == run_mode::listen;
  const bool both_told = given.baud_rate && given.lower_carrier;
  if ((!finds || both_told) && settings.lower_carrier % settings.baud_rate != 0) fail("illegal carrier frequency");
  if (request.keep != nullptr && request.mode != run_mode::listen) fail("--keep goes with --listen");
  // A recording that is read says its own sampling rate and sample format;
  // one that is heard is checked against the tones once the framing is known.
  if (request.mode == run_mode::read || request.mode == run_mode::listen) return;
  // A tone whose peak is below one step of the sample width would be silence.
  if (std::fabs(sample_scale()) < 1.0) fail("illegal level");
  if (int64_t{8} * settings.lower_carrier > settings.sampling_rate) fail("too low sampling rate");
  // The byte rate must fit the header's unsigned 32-bit field.
  const int64_t byte_rate = int64_t{settings.sampling_rate} * settings.channels *
                            settings.quantization_bits / 8;
  if (byte_rate > int64_t{0xFFFFFFFF}) fail("illegal sampling rate");
}

const char* const usage_first_line = "usage: kelvora [options] input-file output-file\n";

const char* const option_lines =
    "options:\n"
    " -b baud-rate\n"
    " -c channels\n"
    " -f format-string | io | bin\n"
    " -q quantization-bits\n"
    " -r sampling-rate\n"
    " -s stop-bits\n"
    " -w lower-carrier-wave\n";

const char* const long_option_lines =
    "long options:\n"
    " --play[=DEVICE]   play through ALSA instead of writing a file (DEVICE: default)\n"
    "                   kelvora --play [options] input-file\n"
    " --read            read a recording back into the tape image (-b, -w, -s apply)\n"
    "                   kelvora --read [options] recording image\n"
    " --listen[=DEVICE] read the tape live from an ALSA capture device (-b, -w, -s, -r, -c apply)\n"
    "                   kelvora --listen [options] image\n"
    " --keep=FILE       --listen: keep the recording too (WAV, or FLAC / OGG by extension)\n"
    " --level=PERCENT   tone level, above 0 and at most 100 (default 100)\n"
    " --invert          store the sine instead of its negation (flips the polarity)\n"
    " --help            print this text and exit\n"
    " --version         print the version and exit\n";

std::string usage_text() {
  return usage_first_line + std::string(option_lines) + "default: -b " + std::to_string(settings.baud_rate) +
         " -c " + std::to_string(settings.channels) + " -f \"" + default_format_text + "\" -q " +
         std::to_string(settings.quantization_bits) + " -r " +
         std::to_string(settings.sampling_rate) + " -s " + std::to_string(settings.stop_bits) +
         " -w " + std::to_string(settings.lower_carrier) + "\n";
}

// The usage of the mode the command line asked for.
std::string mode_usage_text() {
  switch (request.mode) {
    case run_mode::read:
      return "usage: kelvora --read [options] recording image\n"
             "options:\n"
             " -b baud-rate\n"
             " -s stop-bits\n"
             " -w lower-carrier-wave\n"
             "default: -b " + std::to_string(settings.baud_rate) + " -s " + std::to_string(settings.stop_bits) +
             " -w " + std::to_string(settings.lower_carrier) + "\n";
    case run_mode::play:
      return "usage: kelvora --play[=DEVICE] [options] input-file\n" +
             usage_text().substr(std::strlen(usage_first_line));
    case run_mode::listen:
      return "usage: kelvora --listen[=DEVICE] [options] image\n"
             "options:\n"
             " -b baud-rate\n"
             " -c channels\n"
             " -r sampling-rate\n"
             " -s stop-bits\n"
             " -w lower-carrier-wave\n"
             " --keep=FILE\n"
             "default: -b " + std::to_string(settings.baud_rate) + " -c " + std::to_string(settings.channels) +
             " -r " + std::to_string(settings.sampling_rate) + " -s " + std::to_string(settings.stop_bits) +
             " -w " + std::to_string(settings.lower_carrier) + "\n";
    case run_mode::convert:
      break;
  }
  return usage_text();
}

// A level is a decimal number above 0 and at most 100, nothing after it.
void apply_level(const char* value) {
  char* end = nullptr;
  const double percent = std::strtod(value, &end);
  if (end == value || *end != '\0' || !(percent > 0.0 && percent <= 100.0)) fail("illegal level");
  settings.level_percent = percent;
  given.level = true;
}

// The long options, by the name before any "=".
const char* const long_option_names[] = {"--help",   "--version", "--invert", "--level",
                                         "--read",   "--play",    "--listen", "--keep"};

// True when the word is one of the long options (with or without a value).
bool names_long_option(const char* word) {
  const std::string name = std::string(word).substr(0, std::string(word).find('='));
  for (const char* known : long_option_names) {
    if (name == known) return true;
  }
  return false;
}

// A run does one thing: a second mode is refused, naming both.
void choose_mode(run_mode mode, const char* option) {
  if (request.mode != run_mode::convert && request.mode != mode) {
    fail(std::string(mode_option(request.mode)) + " and " + option + " cannot be combined");
  }
  request.mode = mode;
}

// Handles the long option at argv[i] (a word of more than two characters
// beginning with "--"); returns the index of the next word to scan.
int32_t apply_long_option(int32_t argc, const char* const* argv, int32_t i) {
  const std::string word = argv[i];
  const size_t equals = word.find('=');
  const std::string name = word.substr(0, equals);
  const bool has_value = equals != std::string::npos;
  const char* value = has_value ? argv[i] + equals + 1 : nullptr;
  if (name == "--help" && !has_value) finish_with_text(usage_text() + long_option_lines);
  if (name == "--version" && !has_value) finish_with_text("kelvora " KELVORA_VERSION "\n");
  if (name == "--invert" && !has_value) {
    settings.invert = true;
    given.invert = true;
    return i + 1;
  }
  if (name == "--level") {
    if (has_value) {
      apply_level(value);
      return i + 1;
    }
    if (i + 1 >= argc) fail("illegal level");
    apply_level(argv[i + 1]);
    return i + 2;
  }
  if (name == "--read" && !has_value) {
    choose_mode(run_mode::read, "--read");
    return i + 1;
  }
  if (name == "--play" || name == "--listen") {
    if (has_value && *value == '\0') fail(name + "= needs a device name");
    choose_mode(name == "--play" ? run_mode::play : run_mode::listen, name.c_str());
    request.device = has_value ? value : "default";
    return i + 1;
  }
  if (name == "--keep") {
    const char* file = has_value ? value : (i + 1 < argc ? argv[i + 1] : "");
    if (*file == '\0') fail("--keep needs a file name");
    request.keep = file;
    return has_value ? i + 1 : i + 2;
  }
  fail("unknown option " + printable_name(word));
}

}  // namespace

void init_settings() {
  settings = settings_record{1200, 1, nullptr, 8, 9600, 3, 1200, 100.0, false};
  request = run_request{run_mode::convert, nullptr, nullptr};
  given = given_options{};
}

int32_t file_count() { return request.mode == run_mode::play || request.mode == run_mode::listen ? 1 : 2; }

int32_t parse_options(int32_t argc, const char* const* argv) {
  static const char* const chain[] = {"-b", "-c", "-f", "-q", "-r", "-s", "-w"};
  int32_t i = 1;
  bool value_missing = false;
  bool ended_by_marker = false;
  while (i < argc && argv[i][0] == '-' && !value_missing) {
    if (std::strcmp(argv[i], "-") == 0) break;  // standard input as the first file
    if (std::strcmp(argv[i], "--") == 0) {
      ++i;
      ended_by_marker = true;
      break;
    }
    if (argv[i][1] == '-') {  // a long option
      i = apply_long_option(argc, argv, i);
      continue;
    }
    const char* cur = argv[i];
    for (const char* name : chain) {
      if (std::strcmp(cur, name) != 0) continue;
      ++i;
      if (i >= argc) {
        value_missing = true;
        break;
      }
      apply_option(name[1], argv[i]);
      cur = argv[i];
    }
    if (!value_missing) ++i;
  }
  if (settings.format_string == nullptr) settings.format_string = default_format_text;
  // A sound card records at 48000 Hz natively; 9600 Hz suits only the writing.
  if (request.mode == run_mode::listen && !given.sampling_rate) settings.sampling_rate = 48000;
  check_cross_fields();
  // A long option among the file names was meant as an option, not as a file
  // to write (after "--" every word is a file name).
  for (int32_t k = i; k < argc && !ended_by_marker && !value_missing; ++k) {
    if (names_long_option(argv[k])) fail("options go before the file names");
  }
  return i;
}

void print_usage() { fail_with_text(mode_usage_text()); }

int32_t bytes_per_frame() { return settings.channels * settings.quantization_bits / 8; }

double sample_scale() {
  const double full = settings.quantization_bits == 8 ? 127.0 : 32767.0;
  const double scale = full * settings.level_percent / 100.0;
  return settings.invert ? -scale : scale;
}

}  // namespace kelvora
