// Fresh bytes objects for results, written in place; large ones on huge pages.
//
// A bytes object of many megabytes is new memory, which the kernel maps page
// by page as it is first written. With 4 KiB pages that is a fault for every
// 4 KiB, and the faults cost more than copying the bytes: they made up most of
// the time of append_manifest on a large archive. Asking for transparent huge
// pages on the buffer before anything is written makes it one fault per 2 MiB.
// The advice changes no byte and is only a hint: where the kernel has no
// transparent huge pages, or declines, the buffer is mapped as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "python/owned_ref.hpp"

namespace quillmark::python {

// Only buffers this large get the advice: the C library normally maps such a
// buffer on its own (glibc does so for every new request of 32 MiB or more),
// so the advice goes away with the buffer. Should the memory instead come from
// a region the allocator reuses, the only lasting effect is that later
// allocations there may get huge pages too, as they would with the kernel's
// "always" setting.
inline constexpr std::size_t kHugePageAdviceFrom = std::size_t{32} << 20;

inline void advise_huge_pages(char* buffer, std::size_t size) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (size < kHugePageAdviceFrom) return;
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  const auto start = reinterpret_cast<std::uintptr_t>(buffer);
  const std::uintptr_t first = (start + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (start + size) & ~(kHuge - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)buffer;
  (void)size;
#endif
}

// A new bytes object of exactly `size` bytes, filled by `write(char*)`, or
// null with an exception set. The object is fresh and unshared, so writing
// into it before returning it is safe.
template <class Write>
OwnedRef new_bytes(std::size_t size, Write&& write) {
  OwnedRef bytes(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
  if (!bytes) return bytes;
  char* out = PyBytes_AsString(bytes.get());
  if (out == nullptr) return {};
  advise_huge_pages(out, size);
  write(out);
  return bytes;
}

// A new bytes object written by a prepared write of the core (PreparedRecord,
// PreparedAppend): sized once and written once, straight into the object.
template <class Prepared>
OwnedRef prepared_to_bytes(const Prepared& prepared) {
  return new_bytes(prepared.size(), [&](char* out) { prepared.write(out); });
}

// A new bytes object holding a copy of `data`.
inline OwnedRef copy_to_bytes(std::string_view data) {
  if (data.size() < kHugePageAdviceFrom) {
    return OwnedRef(PyBytes_FromStringAndSize(data.data(), static_cast<Py_ssize_t>(data.size())));
  }
  return new_bytes(data.size(), [&](char* out) { std::memcpy(out, data.data(), data.size()); });
}

}  // namespace quillmark::python
