// The library entry. Every call starts from the defaults and reads its option
// words with the command line's own parser, so a page or another program
// accepts and refuses exactly what the command line does, in its words. The
// WAV leaves through a C stream whose writes go to the caller's sink, the
// same path as a pipe: header first, sized before a sample is made.
#ifndef _GNU_SOURCE
#define _GNU_SOURCE  // fopencookie
#endif
#include "api/kelvora_api.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "cli/failure.h"
#include "cli/settings.h"
#include "driver/conversion.h"
#include "play/progress.h"
#include "read/read.h"
#include "wav/wav_header.h"

namespace {

using namespace kelvora;

// What the last call left: its message, and the plan with the settings it was made under.
struct api_state {
  std::string message;
  std::string progress;
  std::string summary;
  std::vector<played_section> sections;
  settings_record plan_settings{};
};

api_state state;

// Reads the option words as the command line would after its program name
// (and --read, for reading).
void take_words(int word_count, const char* const* words, run_mode mode) {
  std::vector<const char*> argv{"kelvora"};
  if (mode == run_mode::read) argv.push_back("--read");
  for (int i = 0; i < word_count; ++i) argv.push_back(words[i]);
  init_settings();
  const int32_t first_file = parse_options(static_cast<int32_t>(argv.size()), argv.data());
  if (first_file != static_cast<int32_t>(argv.size())) print_usage();
  if (request.mode != mode) fail("--read and --play are chosen by the call, not by its words");
}

// Keeps the plan for the progress text; fails when it is too large for a WAV.
recording_plan keep_plan(recording_plan plan) {
  if (plan.data_bytes > wav_data_limit) fail_too_large();
  state.sections.clear();
  for (const planned_section& section : plan.sections) state.sections.push_back({section.letter, section.data_bytes});
  state.plan_settings = settings;
  return plan;
}

// Runs one call's work; a failure becomes the status and message the command line would give.
template <typename Work>
int guarded(Work work) {
  state.message.clear();
  try {
    work();
    return 0;
  } catch (const failure& f) {
    state.message = f.text;
    return f.status;
  } catch (const std::bad_alloc&) {
    state.message = "cannot allocate memory\n";
  } catch (const std::exception& e) {
    state.message = std::string("internal error: ") + e.what() + "\n";
  }
  return 1;
}

struct sink_target {
  kelvora_sink sink;
  void* context;
};

ssize_t write_to_sink(void* cookie, const char* bytes, size_t count) {
  auto* target = static_cast<sink_target*>(cookie);
  target->sink(target->context, reinterpret_cast<const unsigned char*>(bytes), count);
  return static_cast<ssize_t>(count);
}

// A C stream whose writes go to the sink.
std::FILE* open_sink(sink_target& target) {
  std::FILE* file = fopencookie(&target, "wb", cookie_io_functions_t{nullptr, write_to_sink, nullptr, nullptr});
  if (file == nullptr) fail("cannot write the output");
  return file;
}

// The recording's frames from the caller's supplier.
frame_source source_of(const kelvora_recording& r) {
  frame_source source;
  source.read_floats = [&r](float* out, int64_t most) { return r.frames(r.context, out, most); };
  source.read_shorts = [&r](short* out, int64_t most) { return r.frames(r.context, out, most); };
  return source;
}

}  // namespace

extern "C" int kelvora_plan_wav(int word_count, const char* const* words, uint64_t image_size,
                                uint64_t* wav_size) {
  return guarded([&] {
    take_words(word_count, words, run_mode::convert);
    // Only the count of image bytes matters for the size.
    const std::vector<layout_element> layout = parse_layout(settings.format_string);
    const recording_plan plan =
        keep_plan(plan_recording(layout, std::min(bytes_wanted(layout), image_size), wav_data_limit));
    *wav_size = plan.data_bytes + wav_header_size;
  });
}

extern "C" int kelvora_write_wav(int word_count, const char* const* words, const unsigned char* image,
                                 size_t image_size, kelvora_sink sink, void* context) {
  return guarded([&] {
    take_words(word_count, words, run_mode::convert);
    input_source in;
    hold_input(in, image, image_size, "image");
    const recording_plan plan = keep_plan(prepare_recording(in));
    sink_target target{sink, context};
    std::FILE* file = open_sink(target);
    output_stream out;
    attach_output(out, file, "the recording");
    try {
      write_recording(plan, in, out, false);
    } catch (...) {
      std::fclose(file);
      throw;
    }
    close_output(out);
  });
}

extern "C" int kelvora_read(int word_count, const char* const* words, const kelvora_recording* tape,
                            kelvora_sink sink, void* context) {
  state.summary.clear();
  return guarded([&] {
    take_words(word_count, words, run_mode::read);
    sink_target target{sink, context};
    recording rec;
    open_recording_from_source(rec, tape->name, tape->sampling_rate, tape->channels, tape->as_short != 0,
                               source_of(*tape));
    rec.eight_bit = tape->sample_bits == 8;
    image_sink image;
    image.name = "the image";
    image.file = open_sink(target);
    const int status = read_and_close(rec, image, nullptr, &state.summary);
    if (status != 0) throw failure{"", status};
  });
}

extern "C" const char* kelvora_summary(void) { return state.summary.c_str(); }

extern "C" const char* kelvora_message(void) { return state.message.c_str(); }

extern "C" const char* kelvora_progress(uint64_t frame) {
  const settings_record current = settings;
  settings = state.plan_settings;
  state.progress = state.sections.empty() ? std::string() : progress_text(state.sections, frame);
  settings = current;
  return state.progress.c_str();
}
