// The program's entry and the conversion run: open the streams, lay the
// recording out by the format string, finish the WAV header.
#pragma once

#include <cstdint>

#include "driver/input_source.h"
#include "wav/output_stream.h"

namespace kelvora {

// The whole program below main: settings, usage, conversion; returns the status.
int run_main(int argc, const char* const* argv);

// Converts the named input into the named output ("-" for the standard streams).
int run_conversion(const char* input_name, const char* output_name);

// Walks the format string and appends its sections; returns the data bytes.
int64_t lay_out_recording(input_source& in, output_stream& out);

// Converts with both streams open: header, sections, finished header.
void convert_streams(input_source& in, output_stream& out, bool seekable);

}  // namespace kelvora
