/* kelvora as a library: option words in the command line's own form, a tape
 * image in memory, the WAV handed to a sink in order. A refusal returns the
 * command line's exit status and leaves its one line in kelvora_message(). */
#ifndef KELVORA_API_H
#define KELVORA_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Receives the next count bytes of the output. */
typedef void (*kelvora_sink)(void* context, const unsigned char* bytes, size_t count);

/* Checks the option words (as after "kelvora" on a command line, no file names)
 * and sizes the WAV of an image of image_size bytes; returns the exit status. */
int kelvora_plan_wav(int word_count, const char* const* words, uint64_t image_size, uint64_t* wav_size);

/* Writes the WAV of the image to the sink, exactly the bytes the command line
 * writes with the same option words; returns the exit status. */
int kelvora_write_wav(int word_count, const char* const* words, const unsigned char* image,
                      size_t image_size, kelvora_sink sink, void* context);

/* The last call's message as the command line prints it (line ends included); "" after success. */
const char* kelvora_message(void);

/* The playback progress of the last planned or written WAV at a sample frame:
 * "0:03 / 0:09  data block 2 of 2". */
const char* kelvora_progress(uint64_t frame);

#ifdef __cplusplus
}
#endif

#endif
