// Failures are reported, never passed off as success, and never destroy data:
// the same file twice, full disks, unreadable input, recordings too large for
// the header, non-finite durations, unseekable output, messages off the audio.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/failure.h"
#include "cli/settings.h"
#include "driver/conversion.h"
#include "run_binary.h"
#include "wav/output_stream.h"

namespace {

TEST(SoundBehaviour, InputAndOutputTheSameFileIsRefusedAndLeftIntact) {
  const std::string dir = make_temp_dir();
  const std::string tape = random_bytes(64, 5);
  write_file(dir + "/tape.img", tape);
  const run_result named = run_kelvora({"tape.img", "./tape.img"}, "/dev/null", dir);
  EXPECT_EQ(named.out, "input and output are the same file\n");
  EXPECT_EQ(named.status, 1);
  const run_result from_stdin = run_kelvora({"-", "tape.img"}, dir + "/tape.img", dir);
  EXPECT_EQ(from_stdin.out, "input and output are the same file\n");
  EXPECT_EQ(from_stdin.status, 1);
  // Appending the audio to the tape itself: the message goes to standard error.
  EXPECT_EQ(run_shell("cd " + dir + " && $K tape.img - >> tape.img 2>err"), 1);
  EXPECT_EQ(read_file(dir + "/err"), "input and output are the same file\n");
  EXPECT_EQ(read_file(dir + "/tape.img"), tape);
  // The same device on both sides destroys nothing.
  EXPECT_EQ(run_shell("$K - - < /dev/null > /dev/null"), 0);
}

TEST(SoundBehaviour, WriteAndReadFailuresAreReported) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/tape.img", random_bytes(10, 6));
  const run_result full = run_kelvora({"tape.img", "/dev/full"}, "/dev/null", dir);
  EXPECT_EQ(full.out, "cannot write /dev/full: No space left on device\n");
  EXPECT_EQ(full.status, 1);
  // Even a recording smaller than any buffer fails when it is closed.
  const run_result small = run_kelvora({"-f", "b0.001", "tape.img", "/dev/full"}, "/dev/null", dir);
  EXPECT_EQ(small.out, "cannot write /dev/full: No space left on device\n");
  EXPECT_EQ(run_shell("cd " + dir + " && $K tape.img - > /dev/full 2>err"), 1);
  EXPECT_EQ(read_file(dir + "/err"), "cannot write -: No space left on device\n");
  // A disk that fills midway keeps the recording's first samples, in order:
  // buffers are written while the next ones fill. Needs root to mount a tmpfs.
  if (run_shell("mkdir " + dir + "/small && mount -t tmpfs -o size=1300k none " + dir + "/small 2>/dev/null") == 0) {
    write_file(dir + "/long.img", random_bytes(16000, 7));  // a 4 MB recording
    ASSERT_EQ(run_kelvora({"-q", "16", "long.img", "whole.wav"}, "/dev/null", dir).status, 0);
    const run_result cut = run_kelvora({"-q", "16", "long.img", "small/cut.wav"}, "/dev/null", dir);
    const std::string whole = read_file(dir + "/whole.wav");
    const std::string kept = read_file(dir + "/small/cut.wav");
    run_shell("umount " + dir + "/small");
    EXPECT_EQ(cut.out, "cannot write small/cut.wav: No space left on device\n");
    EXPECT_EQ(cut.status, 1);
    EXPECT_GT(kept.size(), 1000000u);
    EXPECT_LT(kept.size(), whole.size());
    // The header of an unfinished recording stays a placeholder.
    EXPECT_TRUE(whole.compare(44, kept.size() - 44, kept, 44) == 0) << "not the recording's first bytes";
    // A process that may not start a thread writes the buffers itself, and
    // reads the recording back on its one thread. Needs root to run as
    // nobody, whose limit of one process is then binding; not under the
    // sanitizers, whose leak check at exit needs a thread of its own.
    const bool sanitized =
#ifdef KELVORA_SANITIZED
        true;
#else
        false;
#endif
    // exec: the shell is the one process the limit allows.
    const auto as_nobody = [&](const std::string& args) {
      return run_shell("chmod 777 " + dir + " && su nobody -s /bin/bash -c \"ulimit -u 1; exec '$K' " + args +
                       "\" 2>" + dir + "/err");
    };
    if (!sanitized && run_shell("id nobody >/dev/null 2>&1") == 0) {
      EXPECT_EQ(as_nobody("-q 16 " + dir + "/long.img " + dir + "/alone.wav"), 0) << read_file(dir + "/err");
      EXPECT_TRUE(read_file(dir + "/alone.wav") == whole);
      EXPECT_EQ(as_nobody("--read " + dir + "/alone.wav " + dir + "/back.img"), 0) << read_file(dir + "/err");
      EXPECT_TRUE(read_file(dir + "/back.img") == read_file(dir + "/long.img"));
    }
  }

  // An unreadable input is found before the output is opened.
  write_file(dir + "/out.wav", "keep");
  const run_result directory = run_kelvora({dir, "out.wav"}, "/dev/null", dir);
  EXPECT_EQ(directory.out, "cannot read " + dir + ": Is a directory\n");
  EXPECT_EQ(directory.status, 1);
  EXPECT_EQ(read_file(dir + "/out.wav"), "keep");
  // A layout that reads nothing does not notice.
  EXPECT_EQ(run_kelvora({"-f", "b1", dir, "out.wav"}, "/dev/null", dir).status, 0);
}

TEST(SoundBehaviour, FailuresKnownBeforeWritingLeaveTheOutputUntouched) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/tape.img", random_bytes(10, 7));
  // A sparse 64 MiB image: its recording would need 6 GB.
  ASSERT_EQ(run_shell("truncate -s 64M " + dir + "/big.img"), 0);
  const std::vector<std::vector<std::string>> lines = {
      {"-f", "h1e9"},
      {"-f", "hinf"},
      {"-f", "b447392.5"},
      {"-f", "b1e300"},
      {"-f", "h447392.45"},
      {"-b", "1", "-w", "1", "-r", "1000000000", "-f", "d1"},
      {"-s", "2000000000", "-f", "d1"},
      {"-b", "1", "-w", "1", "-r", "8", "-s", "536870900", "-f", "d1"},
      {"-r", "2000000000"},
      {"-f", "bin", "big.img"},
  };
  for (std::vector<std::string> args : lines) {
    const std::string words = testing::PrintToString(args);
    if (args.back() != "big.img") args.push_back("tape.img");
    args.push_back("out.wav");
    write_file(dir + "/out.wav", "keep");
    const run_result result = run_kelvora(args, "/dev/null", dir);
    EXPECT_EQ(result.out, "recording too large for a WAV file\n") << words;
    EXPECT_EQ(result.status, 1) << words;
    EXPECT_EQ(read_file(dir + "/out.wav"), "keep") << words;
    // Through a pipe the recording is measured first: nothing reaches it.
    args.pop_back();
    args.push_back("-");
    const run_result piped = run_kelvora(args, "/dev/null", dir);
    EXPECT_EQ(piped.out, "") << words;
    EXPECT_EQ(piped.err, "recording too large for a WAV file\n") << words;
  }
}

TEST(SoundBehaviour, NonFiniteDurations) {
  const std::string dir = make_temp_dir();
  write_file(dir + "/tape.img", "");
  const auto data_of = [&](const std::string& layout) {
    const run_result result = run_kelvora({"-f", layout, "tape.img", "-"}, "/dev/null", dir);
    EXPECT_EQ(result.status, 0) << layout;
    return result.out.size() < 44 ? 0u : le32_at(result.out, 40);
  };
  EXPECT_EQ(data_of("hnan"), 0u);
  EXPECT_EQ(data_of("bnan"), 0u);
  EXPECT_EQ(data_of("b-nan h"), 0u);  // the NaN is reused, and still writes nothing
  EXPECT_EQ(data_of("b-inf h1"), data_of("h1"));
  EXPECT_EQ(data_of("b2 b-1e300 h1"), 19200u + 9600u);  // the clock stops at 0
  EXPECT_EQ(data_of("b2 b-5 h1"), 19200u + 9600u);
  EXPECT_EQ(data_of("b2 h1"), 19200u + 9601u);
}

TEST(SoundBehaviour, UnseekableOutputGetsTheExactHeader) {
  const std::string dir = make_temp_dir();
  const std::string tape = random_bytes(300, 9);
  write_file(dir + "/tape.img", tape);
  const std::vector<std::vector<std::string>> settings = {
      {}, {"-q", "16", "-c", "2"}, {"-b", "100", "-w", "100", "-r", "850"}, {"-s", "0", "-c", "2"},
      {"-b", "600", "-w", "600"},
  };
  const std::vector<std::string> layouts = {"b2.0 h3.5 d16 h0.5 d h0.05 b0.6", "io", "bin",
                                            "d7 b0.3 h0.01 d-1 d3 b-2 h0.7 d",
                                            "d2 b0.277 h2.901", "", "h0.001 b0.0001"};
  for (const auto& options : settings) {
    for (const std::string& layout : layouts) {
      const auto with_files = [&](const std::string& input, const std::string& output) {
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-f", layout, input, output});
        return args;
      };
      ASSERT_EQ(run_kelvora(with_files("tape.img", "file.wav"), "/dev/null", dir).status, 0);
      const std::string expected = read_file(dir + "/file.wav");
      EXPECT_EQ(run_kelvora(with_files("tape.img", "-"), "/dev/null", dir).out, expected) << layout;
      EXPECT_EQ(run_kelvora_piped(with_files("-", "-"), tape, dir).out, expected) << layout;
    }
  }
  // A named pipe behind an output name.
  ASSERT_EQ(run_shell("cd " + dir + " && mkfifo fifo && { cat fifo > from-fifo.wav & } && "
                      "$K tape.img fifo && wait && $K tape.img direct.wav"), 0);
  EXPECT_EQ(read_file(dir + "/from-fifo.wav"), read_file(dir + "/direct.wav"));
}

TEST(SoundBehaviour, PipedThroughMemoryStaysBounded) {
#ifdef KELVORA_SANITIZED
  GTEST_SKIP() << "sanitizer shadow memory inflates the resident set";
#endif
  if (!peak_measurable()) GTEST_SKIP() << "needs GNU time (/usr/bin/time)";
  // 4 MiB of tape through a pipe in and out: about 400 MB of audio.
  const std::string tape = random_bytes(size_t{4} << 20, 10);
  const run_result result = run_kelvora_measured({"-f", "bin", "-", "-"}, tape, "", false);
  EXPECT_EQ(result.status, 0);
  EXPECT_GT(result.out_size, size_t{4} << 20);
  EXPECT_GT(result.peak_kib, 0);
  EXPECT_LT(result.peak_kib, 40 * 1024);
}

TEST(SoundBehaviour, MessagesNeverLandInTheAudio) {
  const std::string dir = make_temp_dir();
  const std::string tape = random_bytes(20, 11);
  write_file(dir + "/tape.img", tape);
  // Standard output by name or by identity: every message on standard error,
  // option errors and usage included.
  struct line {
    std::vector<std::string> args;
    std::string err;
  };
  const std::vector<line> lines = {
      {{"-b", "0", "tape.img", "-"}, "illegal baud rate\n"},
      {{"-r", "100", "-", "-"}, "too low sampling rate\n"},
      {{"missing.img", "-"}, "cannot open missing.img: No such file or directory\n"},
      {{dir, "-"}, "cannot read " + dir + ": Is a directory\n"},
      {{"-f", "h1 d h1e9", "tape.img", "/dev/stdout"}, "recording too large for a WAV file\n"},
      {{"-f", "h1e9", "tape.img", "/dev/fd/1"}, "recording too large for a WAV file\n"},
      {{"-c", "3", "tape.img", "/proc/self/fd/1"}, "the number of channels must be 1 or 2\n"},
  };
  for (const line& l : lines) {
    const run_result result = run_kelvora(l.args, "/dev/null", dir);
    EXPECT_EQ(result.out, "") << testing::PrintToString(l.args);
    EXPECT_EQ(result.err, l.err) << testing::PrintToString(l.args);
    EXPECT_EQ(result.status, 1) << testing::PrintToString(l.args);
  }
  EXPECT_EQ(run_kelvora({"-", "-", "-"}).err.substr(0, 6), "usage:");
  // Appending to the tape image itself through /dev/stdout: refused, intact.
  EXPECT_EQ(run_shell("cd " + dir + " && $K tape.img /dev/stdout >> tape.img 2>err"), 1);
  EXPECT_EQ(read_file(dir + "/err"), "input and output are the same file\n");
  EXPECT_EQ(read_file(dir + "/tape.img"), tape);
  // Standard output closed: the input must not be taken for it, and neither
  // the audio nor an image read back vanishes into what stands in for it.
  ASSERT_EQ(run_shell("cd " + dir + " && $K tape.img tape.wav"), 0);
  for (const std::string command : {"$K tape.img", "$K --read tape.wav"}) {
    for (const std::string name : {"-", "/dev/stdout"}) {
      EXPECT_EQ(run_shell("cd " + dir + " && " + command + " " + name + " >&- 2>err"), 1) << command;
      EXPECT_EQ(read_file(dir + "/err"), "cannot write " + name + ": Bad file descriptor\n") << command;
    }
  }
  // Other outputs keep their messages on standard output, one line each:
  // control characters in names are escaped.
  const run_result odd = run_kelvora({"tape.img", "no\nsuch\x1b/dir.wav"}, "/dev/null", dir);
  EXPECT_EQ(odd.out, "cannot open no\\nsuch\\x1b/dir.wav: No such file or directory\n");
  EXPECT_EQ(run_kelvora({"tape.img", "no such/dir.wav"}, "/dev/null", dir).out,
            "cannot open no such/dir.wav: No such file or directory\n");
}

TEST(SoundBehaviour, ARegularInputIsNotHeldInMemory) {
  kelvora::init_settings();
  kelvora::settings.format_string = kelvora::default_format_text;
  std::FILE* input = std::tmpfile();
  const std::string tape = random_bytes(5000, 12);
  std::fwrite(tape.data(), 1, tape.size(), input);
  std::rewind(input);
  kelvora::input_source in;
  in.file = input;
  const kelvora::recording_plan plan = kelvora::prepare_recording(in);
  EXPECT_FALSE(in.in_memory);
  EXPECT_EQ(in.available, 5000u);
  kelvora::output_stream out;
  kelvora::attach_output(out, std::fopen("/dev/null", "wb"), "null");
  kelvora::write_recording(plan, in, out, false);
  EXPECT_TRUE(in.held.empty());
  kelvora::close_output(out);
  std::fclose(input);
}

TEST(SoundBehaviour, TheSoundLibrariesAreLoadedOnlyWhenNeeded) {
  // Both libraries broken on the library path: a conversion loads neither
  // and writes the same bytes; --play, --read and --listen --keep load theirs
  // before they touch a file, and say why they cannot, in one line and
  // status 1 (--keep with the sound card's library working: the file it
  // would keep the recording in stays as it was).
  const std::string dir = make_temp_dir();
  write_file(dir + "/tape.img", random_bytes(50, 12));
  write_file(dir + "/kept.wav", "kept");
  ASSERT_EQ(run_shell("mkdir " + dir + "/both " + dir + "/files"), 0);
  for (const char* broken : {"/both/libasound.so.2", "/both/libsndfile.so.1", "/files/libsndfile.so.1"}) {
    write_file(dir + broken, "not a library");
  }
  const std::string in_dir = "cd " + dir + " && ";
  ASSERT_EQ(run_shell(in_dir + "$K tape.img plain.wav"), 0);
  ASSERT_EQ(run_shell(in_dir + "LD_LIBRARY_PATH=both $K tape.img broken.wav 2>err.txt"), 0) << read_file(dir + "/err.txt");
  EXPECT_EQ(read_file(dir + "/broken.wav"), read_file(dir + "/plain.wav"));
  const struct {
    std::string args, path, library;
  } rows[] = {{"--play=default tape.img", "both", "libasound.so.2"},
              {"--read plain.wav back.img", "both", "libsndfile.so.1"},
              {"--listen=null --keep=kept.wav heard.img", "files", "libsndfile.so.1"}};
  for (const auto& r : rows) {
    // (Capped in size and time: a library that did load would record on.)
    const int status = run_shell(in_dir + "(ulimit -f 1000; LD_LIBRARY_PATH=" + r.path + " timeout 20 $K " + r.args +
                                 ") >said.txt 2>&1");
    const std::string said = read_file(dir + "/said.txt");
    if (said.find("not available in this build") != std::string::npos) continue;
    EXPECT_EQ(status, 1) << r.args;
    EXPECT_EQ(said.rfind("cannot load " + r.library + ": ", 0), 0u) << r.args << ": " << said;
    EXPECT_EQ(said.find('\n'), said.size() - 1) << r.args << ": " << said;
  }
  EXPECT_EQ(read_file(dir + "/kept.wav"), "kept");
  EXPECT_NE(run_shell("test -e " + dir + "/back.img"), 0) << "an image read without the library";
}

}  // namespace

