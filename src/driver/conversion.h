// The program's entry and the conversion run: open the streams, size the
// recording, write it by the layout, finish the WAV header.
#pragma once

#include <cstdint>

#include "driver/input_source.h"
#include "driver/layout.h"
#include "wav/output_stream.h"

namespace kelvora {

// The whole program below main: settings, usage, the run; returns the status.
int run_main(int argc, const char* const* argv);

// Converts the named input into the named output ("-" for the standard streams).
int run_conversion(const char* input_name, const char* output_name);

// Most input bytes worth reading ahead: one more than any recording that fits takes.
uint64_t most_input_bytes();

// Settles the open input and sizes its recording; fails when it is too large.
recording_plan prepare_recording(input_source& in);

// Lays out a prepared recording's samples; fails if they are not as many as planned.
void lay_out_planned(const recording_plan& plan, input_source& in, output_stream& out);

// Writes a prepared recording: header, sections, finished header; a
// `seekable` output gets a placeholder that is rewritten at the end.
void write_recording(const recording_plan& plan, input_source& in, output_stream& out, bool seekable);

// True when standard input was closed when the process started.
bool standard_input_was_closed();

// Ends the run: the recording would not fit what a WAV header can describe.
[[noreturn]] void fail_too_large();

}  // namespace kelvora
