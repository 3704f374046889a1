// The buffered stream objects of one request/reply exchange.
//
// A request is framed as u32 length (bytes after the field), u32 command id,
// arguments. A reply as u32 length, u32 echoed id, i32 status, payload.
// Both objects live on the stack for one exchange and keep a 16384-byte
// buffer, so framing never touches the heap.
//
// A read or write that fails (the peer gone, an error, a reply that stalls,
// or an interrupted wait) closes the client's handle and sets it to
// kInvalidPipe: the position in the stream is lost, so every later call
// reports "no connection" until the client connects again.
#ifndef ZK5_COMMON_IPC_STREAM_H_
#define ZK5_COMMON_IPC_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "os/os.h"

namespace zk5::ipc {

constexpr std::uint32_t kStreamBufferSize = 16384;
// A field at least this large is read straight into its destination.
constexpr std::uint32_t kDirectReadThreshold = 8192;

// Allocation and release of an array reply's block, given the ArrayOut's
// context. The caller of the exchange owns the block afterwards and frees it
// with the matching release, unless it hands it over (to a NumPy array).
using AllocFn = void* (*)(void* context, std::uint64_t size);
using FreeFn = void (*)(void* context, void* block);

// Non-throwing global operator new / operator delete.
void* HeapAlloc(std::uint64_t size);
void HeapFree(void* block);

// Destination of an array (or string) reply. By default the block comes
// from HeapAlloc and goes back with HeapFree.
struct ArrayOut {
  void** block;          // receives the block address on success
  std::uint32_t* count;  // receives the element count on success
  AllocFn alloc = [](void*, std::uint64_t size) { return HeapAlloc(size); };
  FreeFn release = [](void*, void* b) { HeapFree(b); };
  void* context = nullptr;  // handed to alloc and release

  void* Allocate(std::uint64_t size) const { return alloc(context, size); }
  void Release(void* b) const { release(context, b); }
};

// The head of every frame: u32 length (the bytes after this field), u32
// command id. Requests and replies alike begin so.
constexpr std::uint32_t kFrameHeaderSize = 8;
inline void PutFrameHeader(unsigned char* out, std::uint32_t length, std::uint32_t command) {
  std::memcpy(out, &length, 4);
  std::memcpy(out + 4, &command, 4);
}

class PipeWriter {
 public:
  // Starts a request of `length` bytes after the length field (4 + argument
  // bytes) for command `command`. Each write gives up when the peer takes
  // nothing for `stall_ms` (os::WriteAll); the client's have no such limit.
  PipeWriter(os::PipeHandle& pipe, std::uint32_t length, std::uint32_t command,
             std::int64_t stall_ms = os::kNoDeadline);
  // Wipes what the request put in the buffer: requests can carry passwords.
  ~PipeWriter();
  PipeWriter(const PipeWriter&) = delete;
  PipeWriter& operator=(const PipeWriter&) = delete;

  bool put(const void* data, std::uint32_t n);
  bool put_u8(std::uint8_t v) { return put(&v, 1); }
  bool put_u32(std::uint32_t v) { return put(&v, 4); }
  bool put_i32(std::int32_t v) { return put(&v, 4); }
  bool put_u64(std::uint64_t v) { return put(&v, 8); }
  bool put_i64(std::int64_t v) { return put(&v, 8); }
  bool put_f64(double v) { return put(&v, 8); }
  // u32 unit count, then the units.
  bool put_string(const char16_t* units, std::uint32_t n);
  // Writes what is buffered; the last step of every request.
  bool flush();

 private:
  bool write(const void* data, std::size_t n);

  os::PipeHandle& pipe_;
  const std::int64_t stall_ms_;
  std::uint32_t used_ = 0;
  std::uint32_t free_ = kStreamBufferSize;
  std::uint32_t high_water_ = 0;
  unsigned char buffer_[kStreamBufferSize];
};

class PipeReader {
 public:
  // Each read gives up when no byte arrives for `stall_ms` (os::ReadExact).
  explicit PipeReader(os::PipeHandle& pipe, std::int64_t stall_ms = os::kNoDeadline);
  PipeReader(const PipeReader&) = delete;
  PipeReader& operator=(const PipeReader&) = delete;

  // Reads the reply's length field.
  bool begin();
  // Takes the next n bytes of the reply.
  bool get(void* dest, std::uint32_t n);
  bool get_u32(std::uint32_t* v) { return get(v, 4); }
  bool get_i32(std::int32_t* v) { return get(v, 4); }
  bool get_f64(double* v) { return get(v, 8); }
  // u32 count N, then N elements of `element_size` bytes into a block from
  // out.alloc. A count whose elements cannot fit in what the reply still
  // holds fails before anything is allocated.
  bool get_array(std::uint32_t element_size, const ArrayOut& out);
  // True when the reply has been consumed exactly.
  bool finished() const { return available_ == 0 && remaining_ == 0; }
  // Bytes of the reply not yet handed out.
  std::uint64_t unread() const { return std::uint64_t{available_} + remaining_; }
  // Discards the rest of the reply so that the next exchange starts on a
  // frame boundary. Closes the pipe when that fails: a stream whose framing
  // is lost must not be used again.
  void skip_rest();
  // True once a read has failed on the pipe itself (not for want of bytes).
  bool io_failed() const { return io_failed_; }
  // True when that failure was the stall limit.
  bool timed_out() const { return timed_out_; }
  // The length field read by begin().
  std::uint32_t length() const { return length_; }
  // Closes the pipe: the stream's position is uncertain.
  void drop();

 private:
  bool read(void* dest, std::size_t n);

  os::PipeHandle& pipe_;
  const std::int64_t stall_ms_;
  std::uint32_t remaining_ = 0;
  std::uint32_t length_ = 0;
  std::uint32_t position_ = 0;
  std::uint32_t available_ = 0;
  bool begun_ = false;
  bool io_failed_ = false;
  bool timed_out_ = false;
  unsigned char buffer_[kStreamBufferSize];
};

}  // namespace zk5::ipc

#endif  // ZK5_COMMON_IPC_STREAM_H_
