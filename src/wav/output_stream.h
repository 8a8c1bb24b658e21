// The output stream: bytes gather in a buffer and leave in large writes to a
// file, or to a sink the caller chose (the sound card when playing); a failed
// write, flush or close ends the run. A file may be written from a second
// thread while the next buffer fills.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "wav/byte_buffer.h"

namespace kelvora {

struct background_writer;

struct output_stream {
  std::FILE* file = nullptr;
  std::string name;                   // as given on the command line, for messages
  byte_buffer buffer;  // bytes not yet handed to the file
  size_t used = 0;
  // When set, takes each full buffer instead of the file (n bytes at data).
  std::function<void(const unsigned char* data, size_t n)> sink;
  // When set, full buffers go to the file from a thread of their own.
  std::shared_ptr<background_writer> writer;
};

// Largest data size whose RIFF size (data + 36) still fits 32 bits.
constexpr uint64_t wav_data_limit = 0xFFFFFFFFull - 36;

// Attaches an open file to the stream with an empty buffer.
void attach_output(output_stream& out, std::FILE* file, const std::string& name);

// Lets full buffers go to the attached file from a second thread.
void write_in_background(output_stream& out);

// Sends the stream to a sink, with an empty buffer; name is for messages.
void attach_sink_output(output_stream& out, const std::string& name,
                        std::function<void(const unsigned char* data, size_t n)> sink);

// Appends bytes.
void put_bytes(output_stream& out, const unsigned char* data, size_t n);

// Appends one byte.
void put_byte(output_stream& out, unsigned char value);

// Returns room for n bytes at the end of the buffer, flushing first if needed.
unsigned char* reserve_space(output_stream& out, size_t n);

// Makes n bytes written into reserved room part of the output.
void commit_space(output_stream& out, size_t n);

// Hands the buffer to the file and flushes it.
void flush_output(output_stream& out);

// Flushes and moves the file position back to the start.
void rewind_output(output_stream& out);

// Flushes and closes the file.
void close_output(output_stream& out);

// Writes what the buffer holds after any write in flight, ignoring failures:
// a failed run leaves its output as far as it got.
void abandon_output(output_stream& out);

}  // namespace kelvora
