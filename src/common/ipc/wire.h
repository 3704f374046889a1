// Little-endian loads and stores of wire fields by byte offset.
//
// Records on the pipe are packed byte images with fields at any offset, so
// fields are always copied with memcpy, never read through a cast pointer.
#ifndef ZK5_COMMON_IPC_WIRE_H_
#define ZK5_COMMON_IPC_WIRE_H_

#include <cstddef>
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

// Units of a wchar[units] field up to its first NUL (or `units`), and in
// *bits the OR of those units, which is at least their maximum and below
// 0x80 / 0x100 exactly when all of them are. Four units at a time while no
// unit of the four is zero: record conversion runs this over every text
// field of thousands of records.
inline std::size_t ScanText(const std::uint8_t* p, std::size_t units, unsigned* bits) {
  constexpr std::uint64_t kLow = 0x0001000100010001u;
  constexpr std::uint64_t kHigh = 0x8000800080008000u;
  std::uint64_t acc = 0;
  std::size_t n = 0;
  for (; n + 4 <= units; n += 4) {
    const std::uint64_t w = Load<std::uint64_t>(p + 2 * n);
    if (((w - kLow) & ~w & kHigh) != 0) break;  // a zero unit among the four
    acc |= w;
  }
  for (; n < units; ++n) {
    const std::uint16_t u = Load<std::uint16_t>(p + 2 * n);
    if (u == 0) break;
    acc |= u;
  }
  acc |= acc >> 32;
  acc |= acc >> 16;
  *bits = static_cast<unsigned>(acc & 0xFFFF);
  return n;
}

}  // namespace zk5::wire

#endif  // ZK5_COMMON_IPC_WIRE_H_
