// Command lines: the usage text, every validation message, and the quirks of
// the option chain that users can see.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/failure.h"
#include "cli/settings.h"
#include "run_binary.h"

namespace {

std::string usage_with(const std::string& defaults_line) {
  return "usage: kelvora [options] input-file output-file\n"
         "options:\n"
         " -b baud-rate\n"
         " -c channels\n"
         " -f format-string | io | bin\n"
         " -q quantization-bits\n"
         " -r sampling-rate\n"
         " -s stop-bits\n"
         " -w lower-carrier-wave\n" +
         defaults_line + "\n";
}

const std::string default_usage =
    usage_with("default: -b 1200 -c 1 -f \"b2.0 h3.5 d16 h0.5 d h0.05 b0.6\" -q 8 -r 9600 -s 3 -w 1200");

struct failing_line {
  std::vector<std::string> args;
  std::string out;
};

TEST(CommandLine, RefusedLinesPrintOneMessageOrTheUsageAndExitOne) {
  const std::vector<failing_line> cases = {
      {{}, default_usage},
      {{"only-one"}, default_usage},
      {{"a", "b", "c"}, default_usage},
      {{"-b", "600", "only-one"},
       usage_with("default: -b 600 -c 1 -f \"b2.0 h3.5 d16 h0.5 d h0.05 b0.6\" -q 8 -r 9600 -s 3 -w 1200")},
      {{"-b", "600", "-w", "600", "-q", "16", "-c", "2", "-s", "1", "-r", "44100", "-f", "bin"},
       usage_with("default: -b 600 -c 2 -f \"b2.0 h3.5 d16 h0.5 d h0.05 b0.6\" -q 16 -r 44100 -s 1 -w 600")},
      {{"in", "out", "-b"}, default_usage},  // options after the files are files
      {{"-b"}, default_usage},              // missing value: usage, not "illegal baud rate"
      {{"-x", "foo", "in", "out"}, default_usage},
      {{"-b", "0", "in", "out"}, "illegal baud rate\n"},
      {{"-b", "-5"}, "illegal baud rate\n"},
      {{"-c", "0", "in", "out"}, "the number of channels must be 1 or 2\n"},
      {{"-c", "3", "in", "out"}, "the number of channels must be 1 or 2\n"},
      {{"-c", "-1", "in", "out"}, "the number of channels must be 1 or 2\n"},
      {{"-q", "12", "in", "out"}, "sampling bit must be 8 or 16\n"},
      {{"-r", "0", "in", "out"}, "illegal sampling rate\n"},
      {{"-s", "-1", "in", "out"}, "illegal stop bit\n"},
      {{"-w", "0", "in", "out"}, "illegal carrier frequency\n"},
      {{"-w", "1800", "in", "out"}, "illegal carrier frequency\n"},
      {{"-w", "1800", "-b"}, "illegal carrier frequency\n"},  // cross checks run before usage
      {{"--read", "-b", "700", "-w", "1800", "in", "out"}, "illegal carrier frequency\n"},  // a reading told both
      {{"-r", "8000", "in", "out"}, "too low sampling rate\n"},
      {{"-b", "0", "-c", "5", "in", "out"}, "illegal baud rate\n"},  // only the first bad value
      {{"-c", "5", "-b", "0", "in", "out"}, "the number of channels must be 1 or 2\n"},
      {{"-q", "12"}, "sampling bit must be 8 or 16\n"},  // checks before the usage text
      // Values beyond 32 bits are refused with the option's own message.
      {{"-r", "99999999999", "in", "out"}, "illegal sampling rate\n"},
      {{"-b", "-99999999999", "in", "out"}, "illegal baud rate\n"},
      {{"-s", "2147483648", "in", "out"}, "illegal stop bit\n"},
      // Products are formed without overflow.
      {{"-w", "300000000", "-b", "1", "-r", "2147483647", "in", "out"}, "too low sampling rate\n"},
      {{"-r", "2147483647", "-q", "16", "-c", "2", "in", "out"}, "illegal sampling rate\n"},
  };
  for (const failing_line& line : cases) {
    const run_result result = run_kelvora(line.args);
    std::string words;
    for (const std::string& word : line.args) words += word + " ";
    EXPECT_EQ(result.out, line.out) << words;
    EXPECT_EQ(result.err, "") << words;
    EXPECT_EQ(result.status, 1) << words;
  }
}

// Parses a command line in-process and returns the index of the first file.
int32_t parse(std::vector<const char*> words) {
  words.insert(words.begin(), "kelvora");
  kelvora::init_settings();
  return kelvora::parse_options(static_cast<int32_t>(words.size()), words.data());
}

TEST(CommandLine, OptionValuesAreComparedWithTheRestOfTheChain) {
  EXPECT_EQ(parse({"-f", "-s", "2", "in", "out"}), 4);
  EXPECT_STREQ(kelvora::settings.format_string, "-s");
  EXPECT_EQ(kelvora::settings.stop_bits, 2);

  // -b's value "-c" is checked as a baud rate (0) before the chain reaches -c.
  EXPECT_THROW(parse({"-b", "-c", "2", "in", "out"}), kelvora::failure);

  EXPECT_EQ(parse({"-b1200", "-x", "in", "out"}), 3);  // glued and unknown words are skipped
  EXPECT_EQ(kelvora::settings.baud_rate, 1200);
  EXPECT_EQ(parse({"-b", "600", "-b", "300", "-w", "600", "in", "out"}), 7);
  EXPECT_EQ(kelvora::settings.baud_rate, 300);  // the last value counts
}

TEST(CommandLine, NumbersAreReadLikeAtoi) {
  EXPECT_EQ(parse({"-c", "2x", "-s", "none", "-r", "  +44100Hz", "in", "out"}), 7);
  EXPECT_EQ(kelvora::settings.channels, 2);
  EXPECT_EQ(kelvora::settings.stop_bits, 0);
  EXPECT_EQ(kelvora::settings.sampling_rate, 44100);
  EXPECT_EQ(parse({"-r", "2147483647", "in", "out"}), 3);  // the largest 32-bit value still fits
  EXPECT_EQ(kelvora::settings.sampling_rate, 2147483647);
}

TEST(CommandLine, DashesAndFormatTexts) {
  EXPECT_EQ(parse({"-", "out"}), 1);  // "-" is the first file
  EXPECT_EQ(parse({"--", "-in", "out.wav"}), 2);
  EXPECT_EQ(parse({"-b", "600", "--", "-in", "out.wav"}), 4);

  parse({"in", "out"});
  EXPECT_STREQ(kelvora::settings.format_string, "b2.0 h3.5 d16 h0.5 d h0.05 b0.6");
  parse({"-f", "io", "in", "out"});
  EXPECT_STREQ(kelvora::settings.format_string, "b2.0 h3.5 d17 h0.05 b3.5 h3.5 d h0.05 b0.6");
  parse({"-f", "bin", "in", "out"});
  EXPECT_STREQ(kelvora::settings.format_string, "b2.0 h3.5 d h0.05 b0.6");
  parse({"-f", "IO", "in", "out"});
  EXPECT_STREQ(kelvora::settings.format_string, "IO");
  EXPECT_EQ(parse({"-b", "600", "-w", "600", "in", "out"}), 5);
  EXPECT_EQ(parse({"-r", "9600", "-s", "0", "in", "out"}), 5);
}

}  // namespace

namespace {

TEST(CommandLine, LongOptionsStandAnywhereAmongTheOptions) {
  const std::string help_tail =
      "long options:\n"
      " --play[=DEVICE]   play through ALSA instead of writing a file (DEVICE: default)\n";
  // --help and --version answer on standard output with status 0, wherever
  // they stand before the file names; the usage shows the values given so far.
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"--help", "-b", "0", "in", "out"}, {"--help", "-"}}) {
    const run_result help = run_kelvora(args);
    EXPECT_EQ(help.status, 0) << testing::PrintToString(args);
    EXPECT_EQ(help.err, "");
    EXPECT_EQ(help.out.substr(0, default_usage.size() + help_tail.size()), default_usage + help_tail);
  }
  EXPECT_NE(run_kelvora({"-b", "600", "--help"}).out.find("default: -b 600 "), std::string::npos);
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--version"}, {"-q", "16", "--version", "a"}, {"--invert", "--version"}}) {
    const run_result version = run_kelvora(args);
    EXPECT_EQ(version.out, "kelvora " KELVORA_VERSION "\n");
    EXPECT_EQ(version.status, 0);
  }
  // Long options that take part in a conversion mix with the short ones.
  EXPECT_EQ(parse({"--invert", "-b", "600", "--level=50", "-w", "600", "--level", "25", "in", "out"}), 9);
  EXPECT_TRUE(kelvora::settings.invert);
  EXPECT_EQ(kelvora::settings.level_percent, 25.0);
  EXPECT_EQ(kelvora::settings.baud_rate, 600);
  EXPECT_EQ(parse({"--play=hw:1", "-s", "1", "in"}), 4);
  EXPECT_EQ(kelvora::request.mode, kelvora::run_mode::play);
  EXPECT_STREQ(kelvora::request.device, "hw:1");
  EXPECT_EQ(kelvora::file_count(), 1);
  EXPECT_EQ(parse({"--keep", "tape.flac", "-r", "44100", "--listen", "img"}), 6);
  EXPECT_EQ(kelvora::request.mode, kelvora::run_mode::listen);
  EXPECT_STREQ(kelvora::request.device, "default");
  EXPECT_STREQ(kelvora::request.keep, "tape.flac");
  EXPECT_EQ(kelvora::file_count(), 1);
  // A short option's value is never taken for a long option.
  EXPECT_EQ(parse({"-f", "--help", "in", "out"}), 3);
  EXPECT_STREQ(kelvora::settings.format_string, "--help");
  // Reading needs no sampling rate fit for writing.
  EXPECT_EQ(parse({"--read", "-b", "2400", "-w", "4800", "rec.wav", "img"}), 6);
}

TEST(CommandLine, BadLongOptionsAreRefused) {
  const std::vector<failing_line> cases = {
      {{"--level=0", "in", "out"}, "illegal level\n"},
      {{"--level=100.5", "in", "out"}, "illegal level\n"},
      {{"--level=-5", "in", "out"}, "illegal level\n"},
      {{"--level=50%", "in", "out"}, "illegal level\n"},
      {{"--level=nan", "in", "out"}, "illegal level\n"},
      {{"--level=", "in", "out"}, "illegal level\n"},
      {{"--level"}, "illegal level\n"},
      {{"--bogus", "in", "out"}, "unknown option --bogus\n"},
      {{"--help=me", "in", "out"}, "unknown option --help=me\n"},
      {{"--read", "--play", "in"}, "--read and --play cannot be combined\n"},
      {{"--play=", "in"}, "--play= needs a device name\n"},
      // A wrong number of names shows the usage of the mode asked for.
      {{"--play", "in", "out"}, "usage: kelvora --play[=DEVICE] [options] input-file\n" +
                                    default_usage.substr(default_usage.find('\n') + 1)},
      {{"--read", "-s", "1", "in"},
       "usage: kelvora --read [options] recording image\noptions:\n -b baud-rate\n -s stop-bits\n"
       " -w lower-carrier-wave\ndefault: -b 1200 -s 1 -w 1200\n"},
      // A long option among the file names was meant as an option: no file
      // named after it is written.
      {{"in.img", "--play"}, "options go before the file names\n"},
      {{"in.img", "out.wav", "--level=50"}, "options go before the file names\n"},
      {{"--read", "in.img", "--version"}, "options go before the file names\n"},
      {{"--play", "in.img", "--help"}, "options go before the file names\n"},
      // A tone below one step of the sample width would be silence.
      {{"--level=0.78", "in.img", "out.wav"}, "illegal level\n"},
      {{"-q", "16", "--level=0.003", "in.img", "out.wav"}, "illegal level\n"},
      // Reading takes rate, width, channels, layout, level and polarity from the recording.
      {{"--read", "-q", "16", "-b", "300", "-r", "8000", "--invert", "in.img", "out.img"},
       "--read cannot use -q, -r, --invert\n"},
      {{"-c", "2", "-f", "bin", "--level=50", "--read", "in.img", "out.img"},
       "--read cannot use -c, -f, --level\n"},
      {{"--listen", "--read", "in"}, "--listen and --read cannot be combined\n"},
      {{"--listen=", "in"}, "--listen= needs a device name\n"},
      {{"--keep=k.wav", "in", "out"}, "--keep goes with --listen\n"},
      {{"--listen", "--keep=", "in"}, "--keep needs a file name\n"},
      {{"--listen", "-c", "2", "in", "out"},
       "usage: kelvora --listen[=DEVICE] [options] image\noptions:\n -b baud-rate\n -c channels\n"
       " -r sampling-rate\n -s stop-bits\n -w lower-carrier-wave\n --keep=FILE\n"
       "default: -b 1200 -c 2 -r 48000 -s 3 -w 1200\n"},
      {{"--listen", "-q", "16", "-r", "44100", "--level=50", "in.img"}, "--listen cannot use -q, --level\n"},
  };
  const std::string dir = make_temp_dir();
  write_file(dir + "/in.img", "x");
  for (const failing_line& line : cases) {
    const run_result result = run_kelvora(line.args, "/dev/null", dir);
    EXPECT_EQ(result.out, line.out) << testing::PrintToString(line.args);
    EXPECT_EQ(result.status, 1) << testing::PrintToString(line.args);
  }
  EXPECT_EQ(run_shell("cd " + dir + " && test \"$(ls -A)\" = in.img"), 0) << "a file was written";
  // After "--" every word is a file name; a level one step high still sounds.
  EXPECT_EQ(parse({"--", "in.img", "--play"}), 2);
  EXPECT_EQ(parse({"-q", "16", "--level=0.0031", "in.img", "out.wav"}), 4);
}

TEST(CommandLine, AudioIsNeverWrittenToATerminal) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/tape.img", "x");
  // script(1) gives the command a terminal for its standard streams.
  for (const std::string output : {"-", "/dev/tty"}) {
    const int status = run_shell("cd " + dir + " && script -qec \"$K tape.img " + output +
                                 "\" /dev/null > seen");
    EXPECT_EQ(status, 1) << output;
    const std::string seen = read_file(dir + "/seen");
    EXPECT_NE(seen.find("will not write audio to a terminal"), std::string::npos) << output;
    EXPECT_EQ(seen.find("RIFF"), std::string::npos) << output;
  }
}

}  // namespace
