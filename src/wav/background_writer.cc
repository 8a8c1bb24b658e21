// The writer thread (background_writer.h). One buffer is in flight at most;
// the stream waits for it before handing over the next, before flushing,
// seeking or closing, and the thread is joined when the last owner lets go.
#include "wav/background_writer.h"

#include <cerrno>

#ifndef __EMSCRIPTEN__
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#endif

namespace kelvora {

#ifdef __EMSCRIPTEN__

struct background_writer {};

std::shared_ptr<background_writer> start_background_writer(std::FILE*, size_t) { return nullptr; }
int hand_over(background_writer&, byte_buffer&, size_t) { return 0; }
int wait_for_writes(background_writer&) { return 0; }

#else

struct background_writer {
  std::FILE* file = nullptr;
  byte_buffer spare;  // the buffer in flight, or the next to fill
  size_t pending = 0;                // bytes of spare still to write; 0 when idle
  int error = 0;                     // of the first write that failed
  bool stopping = false;
  std::mutex lock;
  std::condition_variable changed;
  std::thread thread;

  ~background_writer() {
    {
      const std::lock_guard<std::mutex> hold(lock);
      stopping = true;
    }
    changed.notify_all();
    if (thread.joinable()) thread.join();
  }
};

namespace {

void write_in_turn(background_writer& w) {
  std::unique_lock<std::mutex> hold(w.lock);
  for (;;) {
    w.changed.wait(hold, [&] { return w.pending != 0 || w.stopping; });
    if (w.pending == 0) return;
    const size_t n = w.pending;
    hold.unlock();
    const bool written = std::fwrite(w.spare.data(), 1, n, w.file) == n;
    const int error = written ? 0 : (errno != 0 ? errno : EIO);
    hold.lock();
    if (w.error == 0) w.error = error;
    w.pending = 0;
    w.changed.notify_all();
  }
}

int wait_locked(background_writer& w, std::unique_lock<std::mutex>& hold) {
  w.changed.wait(hold, [&] { return w.pending == 0; });
  return w.error;
}

}  // namespace

std::shared_ptr<background_writer> start_background_writer(std::FILE* file, size_t buffer_size) {
  auto writer = std::make_shared<background_writer>();
  writer->file = file;
  writer->spare.resize(buffer_size);
  try {
    writer->thread = std::thread(write_in_turn, std::ref(*writer));
  } catch (const std::system_error&) {
    return nullptr;  // no thread to be had (a process limit): the stream writes itself
  }
  return writer;
}

int hand_over(background_writer& w, byte_buffer& buffer, size_t n) {
  std::unique_lock<std::mutex> hold(w.lock);
  if (const int error = wait_locked(w, hold); error != 0) return error;
  if (w.spare.size() < buffer.size()) w.spare.resize(buffer.size());
  buffer.swap(w.spare);
  w.pending = n;
  hold.unlock();
  w.changed.notify_all();
  return 0;
}

int wait_for_writes(background_writer& w) {
  std::unique_lock<std::mutex> hold(w.lock);
  return wait_locked(w, hold);
}

#endif

}  // namespace kelvora
