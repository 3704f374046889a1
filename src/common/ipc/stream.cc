#include "ipc/stream.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <new>

namespace zk5::ipc {

void* HeapAlloc(std::uint64_t size) {
  if (size > SIZE_MAX) return nullptr;
  return ::operator new(static_cast<std::size_t>(size), std::nothrow);
}

void HeapFree(void* block) { ::operator delete(block); }

namespace {

void Close(os::PipeHandle& pipe) {
  if (pipe == os::kInvalidPipe) return;
  os::ClosePipe(pipe);
  pipe = os::kInvalidPipe;
}

// Outcome of one OS transfer: after a failed one nobody knows how much of
// the frame moved, so it also closes the client's handle.
bool Transfer(os::PipeHandle& pipe, os::IoStatus status) {
  if (status == os::IoStatus::kOk) return true;
  Close(pipe);
  return false;
}

}  // namespace

PipeWriter::PipeWriter(os::PipeHandle& pipe, std::uint32_t length, std::uint32_t command,
                       std::int64_t stall_ms)
    : pipe_(pipe), stall_ms_(stall_ms) {
  PutFrameHeader(buffer_, length, command);
  used_ = kFrameHeaderSize;
  free_ = kStreamBufferSize - kFrameHeaderSize;
}

PipeWriter::~PipeWriter() {
  volatile unsigned char* p = buffer_;
  for (std::uint32_t i = 0; i < high_water_; ++i) p[i] = 0;
}

bool PipeWriter::write(const void* data, std::size_t n) {
  if (pipe_ == os::kInvalidPipe) return false;
  return Transfer(pipe_, os::WriteAll(pipe_, data, n, stall_ms_));
}

bool PipeWriter::put(const void* data, std::uint32_t n) {
  const auto* src = static_cast<const unsigned char*>(data);
  if (n <= free_) {
    if (n != 0) std::memcpy(buffer_ + used_, src, n);
    used_ += n;
    free_ -= n;
    high_water_ = std::max(high_water_, used_);
    return true;
  }
  // Fill the buffer exactly and send it whole, so that large requests leave
  // in full-buffer writes.
  std::memcpy(buffer_ + used_, src, free_);
  high_water_ = kStreamBufferSize;
  src += free_;
  n -= free_;
  used_ = 0;
  free_ = kStreamBufferSize;
  if (!write(buffer_, kStreamBufferSize)) return false;
  if (n > kStreamBufferSize) return write(src, n);
  std::memcpy(buffer_, src, n);
  used_ = n;
  free_ -= n;
  return true;
}

bool PipeWriter::put_string(const char16_t* units, std::uint32_t n) {
  return put_u32(n) && put(units, n * 2);
}

bool PipeWriter::flush() {
  if (used_ == 0) return true;
  const bool ok = write(buffer_, used_);
  used_ = 0;
  free_ = kStreamBufferSize;
  return ok;
}

PipeReader::PipeReader(os::PipeHandle& pipe, std::int64_t stall_ms)
    : pipe_(pipe), stall_ms_(stall_ms) {}

bool PipeReader::read(void* dest, std::size_t n) {
  if (pipe_ == os::kInvalidPipe) {
    io_failed_ = true;
    return false;
  }
  const os::IoStatus status = os::ReadExact(pipe_, dest, n, os::kNoDeadline, stall_ms_);
  if (Transfer(pipe_, status)) return true;
  io_failed_ = true;
  timed_out_ = status == os::IoStatus::kTimedOut;
  return false;
}

bool PipeReader::begin() {
  begun_ = read(&remaining_, 4);
  if (!begun_) remaining_ = 0;
  length_ = remaining_;
  return begun_;
}

bool PipeReader::get(void* dest, std::uint32_t n) {
  auto* out = static_cast<unsigned char*>(dest);
  if (n <= available_) {
    if (n != 0) std::memcpy(out, buffer_ + position_, n);
    position_ += n;
    available_ -= n;
    return true;
  }
  if (n > available_ + std::uint64_t{remaining_}) return false;  // short reply
  if (available_ != 0) std::memcpy(out, buffer_ + position_, available_);
  out += available_;
  n -= available_;
  available_ = 0;
  position_ = 0;
  if (n >= kDirectReadThreshold || n == remaining_) {
    if (!read(out, n)) return false;
    remaining_ -= n;
    return true;
  }
  const std::uint32_t chunk = std::min(remaining_, kStreamBufferSize);
  if (!read(buffer_, chunk)) return false;
  remaining_ -= chunk;
  std::memcpy(out, buffer_, n);
  position_ = n;
  available_ = chunk - n;
  return true;
}

bool PipeReader::get_array(std::uint32_t element_size, const ArrayOut& out) {
  std::uint32_t count = 0;
  if (!get_u32(&count)) return false;
  const std::uint64_t bytes = std::uint64_t{count} * element_size;
  // A corrupt count must not reserve memory the reply cannot fill; one get()
  // moves at most 4 GiB - 1.
  if (bytes > unread() || bytes > UINT32_MAX) return false;
  void* block = out.Allocate(bytes);
  if (block == nullptr) return false;
  if (!get(block, static_cast<std::uint32_t>(bytes))) {
    out.Release(block);
    return false;
  }
  *out.block = block;
  *out.count = count;
  return true;
}

void PipeReader::skip_rest() {
  if (!begun_ || io_failed_ || pipe_ == os::kInvalidPipe) return;
  available_ = 0;
  position_ = 0;
  while (remaining_ != 0) {
    const std::uint32_t chunk = std::min(remaining_, kStreamBufferSize);
    if (!read(buffer_, chunk)) break;
    remaining_ -= chunk;
  }
  if (remaining_ != 0) Close(pipe_);
}

void PipeReader::drop() { Close(pipe_); }

}  // namespace zk5::ipc
