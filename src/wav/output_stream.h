// The output stream: bytes gather in a buffer and leave in large writes.
// Sample data is claimed against the size a WAV header can describe before
// it is written; a failed write, flush or close ends the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace kelvora {

struct output_stream {
  std::FILE* file = nullptr;
  std::string name;                   // as given on the command line, for messages
  bool measuring = false;             // count the recording only, write nothing
  std::vector<unsigned char> buffer;  // bytes not yet handed to the file
  size_t used = 0;
  uint64_t data_bytes = 0;            // sample bytes claimed so far
};

// Largest data size whose RIFF size (data + 36) still fits 32 bits.
constexpr uint64_t wav_data_limit = 0xFFFFFFFFull - 36;

// The data size a run may reach; lowered only by tools that bound their runs.
extern uint64_t max_data_bytes;

// Attaches an open file to the stream with an empty buffer.
void attach_output(output_stream& out, std::FILE* file, const std::string& name);

// Appends bytes (nothing while measuring).
void put_bytes(output_stream& out, const unsigned char* data, size_t n);

// Appends one byte (nothing while measuring).
void put_byte(output_stream& out, unsigned char value);

// Returns room for n bytes at the end of the buffer, flushing first if needed.
unsigned char* reserve_space(output_stream& out, size_t n);

// Makes n bytes written into reserved room part of the output.
void commit_space(output_stream& out, size_t n);

// Ends the run: the recording would not fit what a WAV header can describe.
[[noreturn]] void fail_too_large();

// Counts n more sample bytes; fails when the header could no longer describe them.
void claim_data_bytes(output_stream& out, uint64_t n);

// Sample bytes that may still be claimed.
uint64_t data_room(const output_stream& out);

// Hands the buffer to the file and flushes it.
void flush_output(output_stream& out);

// Flushes and moves the file position back to the start.
void rewind_output(output_stream& out);

// Flushes and closes the file.
void close_output(output_stream& out);

}  // namespace kelvora
