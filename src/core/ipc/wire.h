// Little-endian loads and stores of wire fields by byte offset.
//
// Records on the pipe are packed byte images with fields at any offset, so
// fields are always copied with memcpy, never read through a cast pointer.
#ifndef ZK5_IPC_WIRE_H_
#define ZK5_IPC_WIRE_H_

#include <cstdint>
#include <cstring>

namespace zk5::wire {

// The wire is little-endian; so is every host we build for (x86-64, arm64).
#if !defined(_WIN32)
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "wire records are copied as little-endian byte images");
#endif

template <typename T>
inline T Load(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename T>
inline void Store(std::uint8_t* p, T v) {
  std::memcpy(p, &v, sizeof v);
}

inline std::uint8_t LoadU8(const std::uint8_t* p) { return *p; }
inline std::uint32_t LoadU32(const std::uint8_t* p) { return Load<std::uint32_t>(p); }
inline std::int32_t LoadI32(const std::uint8_t* p) { return Load<std::int32_t>(p); }
inline std::uint64_t LoadU64(const std::uint8_t* p) { return Load<std::uint64_t>(p); }
inline std::int64_t LoadI64(const std::uint8_t* p) { return Load<std::int64_t>(p); }
inline double LoadF64(const std::uint8_t* p) { return Load<double>(p); }

// Units of a wchar[units] field up to its first NUL, or the whole field when
// it holds none.
inline std::size_t TextLength(const std::uint8_t* p, std::size_t units) {
  for (std::size_t i = 0; i < units; ++i) {
    if (p[2 * i] == 0 && p[2 * i + 1] == 0) return i;
  }
  return units;
}

}  // namespace zk5::wire

#endif  // ZK5_IPC_WIRE_H_
