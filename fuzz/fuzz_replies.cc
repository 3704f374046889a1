// Replies from a hostile terminal. The first input byte picks a reply shape
// (and its record or element size); the rest is what the terminal sends,
// through a real socket, after which it hangs up. Whatever arrives, the
// exchange must give a result its rule allows, free what it allocated, and
// leave the stream either closed or exactly at the end of the frame.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ipc/commands.h"
#include "ipc/records.h"

namespace {

using namespace zk5;
using ipc::ArrayOut;
using ipc::CommandId;
using ipc::Header;
using ipc::PipeReader;

int g_live_blocks = 0;
void* CountedAlloc(void*, std::uint64_t size) {
  void* block = ipc::HeapAlloc(size);
  if (block != nullptr) ++g_live_blocks;
  return block;
}
void CountedFree(void*, void* block) {
  if (block != nullptr) --g_live_blocks;
  ipc::HeapFree(block);
}

// Sizes of every fixed record and array element a reply carries.
constexpr std::uint32_t kSizes[] = {4, 28, 60, 252, 260, 300, 320, 340, 851, 2929, 2993, 3162};
constexpr std::size_t kSizeCount = sizeof kSizes / sizeof kSizes[0];

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

std::uint32_t LengthField(const std::uint8_t* data, std::size_t size) {
  std::uint32_t v = 0;
  if (size >= 4) std::memcpy(&v, data, 4);
  return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const unsigned shape = data[0] % 6;
  const std::uint32_t record_size = kSizes[(data[0] / 6) % kSizeCount];
  ++data;
  --size;

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
  // The fuzzer's inputs stay far below the socket's buffer.
  if (size != 0 && send(fds[1], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) {
    std::abort();
  }
  shutdown(fds[1], SHUT_WR);
  os::PipeHandle pipe = fds[0];

  const CommandId id = CommandId::POSITIONS_ALL;
  std::uint32_t a = 0, b = 0;
  double f = 0;
  void* block = nullptr;
  std::uint32_t count = 0;
  const ArrayOut out{&block, &count, CountedAlloc, CountedFree};
  static std::uint8_t record[4096];
  std::int32_t result = 0;
  switch (shape) {
    case 0:
      result = ipc::Receive(pipe, id,
                            [&](PipeReader& r, Header* h) { return ipc::DecodeStatusOnly(r, h); });
      break;
    case 1:
      result = ipc::Receive(pipe, id,
                            [&](PipeReader& r, Header* h) { return ipc::DecodeU32(r, h, &a); });
      break;
    case 2:
      result = ipc::Receive(pipe, id,
                            [&](PipeReader& r, Header* h) { return ipc::DecodeF64(r, h, &f); });
      break;
    case 3:
      result = ipc::Receive(pipe, id, [&](PipeReader& r, Header* h) {
        return ipc::DecodeU32U32String(r, h, &a, &b, out);
      });
      break;
    case 4:
      result = ipc::Receive(pipe, id, [&](PipeReader& r, Header* h) {
        return ipc::DecodeRecord(r, h, record, record_size);
      });
      break;
    default:
      result = ipc::Receive(pipe, id, [&](PipeReader& r, Header* h) {
        return ipc::DecodeArray(r, h, record_size, out);
      });
      break;
  }

  const bool array_shape = shape == 3 || shape == 5;
  if (result >= 0) {
    // Success only for a whole frame that echoes the command.
    if (size < 12 || LengthField(data, size) > size - 4) Fail("success from a partial frame");
    std::uint32_t echo = 0;
    std::memcpy(&echo, data + 4, 4);
    if (echo != static_cast<std::uint32_t>(id)) Fail("success with a wrong echo");
    if (array_shape) {
      const std::uint64_t element = shape == 3 ? 2 : record_size;
      if (block == nullptr) Fail("success without a block");
      if (count * element > LengthField(data, size)) Fail("count beyond the frame");
    }
  }
  // A block belongs to the caller whatever the result (a wrong echo comes
  // with a whole array); the caller frees it on every path.
  if (array_shape) CountedFree(nullptr, block);
  if (g_live_blocks != 0) Fail("a block leaked or was freed twice");

  // In step: an open stream stands exactly after the frame.
  if (pipe != os::kInvalidPipe) {
    std::uint8_t rest[1 << 16];
    std::size_t left = 0;
    ssize_t n;
    while ((n = recv(static_cast<int>(pipe), rest, sizeof rest, 0)) > 0) {
      left += static_cast<std::size_t>(n);
    }
    const std::uint64_t frame = 4 + std::uint64_t{LengthField(data, size)};
    if (size < 4 || frame > size || size - left != frame) Fail("open stream out of step");
    close(static_cast<int>(pipe));
  }
  close(fds[1]);
  return 0;
}
