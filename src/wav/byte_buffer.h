// A buffer of output bytes whose room is not zeroed when it is made or
// grown: every byte is written before it is handed on, so a fresh buffer
// costs no pass over memory and its pages are touched only as the output
// reaches them.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace kelvora {

// An allocator whose elements made without a value are left as they are.
template <typename T>
struct uninitialised_allocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = uninitialised_allocator<U>;
  };
  template <typename U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using byte_buffer = std::vector<unsigned char, uninitialised_allocator<unsigned char>>;

}  // namespace kelvora
