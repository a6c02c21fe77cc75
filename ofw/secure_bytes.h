// Byte buffers that are overwritten with zeros before their memory is released.
//
// LRPC2 message buffers, collector messages and cached secrets may hold
// passwords, keys and terminal data; a growing std::vector would otherwise
// leave stale copies behind every reallocation.
#pragma once
#include <string.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace ofw {

template <class T>
struct WipingAllocator {
  using value_type = T;
  WipingAllocator() noexcept = default;
  template <class U>
  WipingAllocator(const WipingAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) noexcept {
    if (p) explicit_bzero(p, n * sizeof(T));
    ::operator delete(p);
  }
  template <class U>
  bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
  template <class U>
  bool operator!=(const WipingAllocator<U>&) const noexcept { return false; }
};

typedef std::vector<uint8_t, WipingAllocator<uint8_t>> SecureBytes;

// Wipes a fixed-size secret (key, IV, cipher context) when it leaves scope.
template <class T>
class WipeOnExit {
 public:
  explicit WipeOnExit(T& object) : object_(object) {}
  ~WipeOnExit() { explicit_bzero(&object_, sizeof(T)); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  T& object_;
};

}  // namespace ofw
