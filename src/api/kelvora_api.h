/* kelvora as a library: option words in the command line's own form, a tape
 * image in memory, the WAV handed to a sink in order; or a recording's frames
 * from a supplier, the image to a sink and the summary. A refusal returns the
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

/* Supplies up to `most` interleaved frames into out (16-bit integers when the
 * recording is as_short, else floats in [-1, 1]); returns how many, 0 at the end. */
typedef int64_t (*kelvora_frames)(void* context, void* out, int64_t most);

/* A recording to read back, from any supplier of frames. */
struct kelvora_recording {
  const char* name;        /* for messages */
  int32_t sampling_rate;   /* frames per second */
  int32_t channels;
  int32_t sample_bits;     /* bits per sample as the recording stores them (8, 16, 24, 32) */
  int as_short;            /* frames are 16-bit (recordings of 8 or 16 bits, 8-bit ones shifted up) */
  kelvora_frames frames;
  void* context;
};

/* Reads the recording back into its tape image, handed to the sink; the option
 * words are those after "kelvora --read" on a command line. Returns the exit
 * status; the summary is then in kelvora_summary(), a refusal in kelvora_message(). */
int kelvora_read(int word_count, const char* const* words, const struct kelvora_recording* recording,
                 kelvora_sink image, void* image_context);

/* The last read's summary as the command line prints it (line ends included). */
const char* kelvora_summary(void);

#ifdef __cplusplus
}
#endif

#endif
