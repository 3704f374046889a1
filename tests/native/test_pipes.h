// Pipes for the native tests: unused pipe names, and a client handle whose
// server end the test holds. Below the client: os/ only.
#ifndef ZK5_TESTS_NATIVE_TEST_PIPES_H_
#define ZK5_TESTS_NATIVE_TEST_PIPES_H_

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "os/os.h"
#include "os/pipe_server.h"

namespace zk5::test {

// A pipe name no other test uses.
inline std::u16string UniquePipeName() {
  static std::mt19937_64 random{
      std::random_device{}() ^
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
  std::uint8_t digest[32];
  for (int i = 0; i < 32; i += 8) {
    const std::uint64_t r = random();
    std::memcpy(digest + i, &r, 8);
  }
  // A terminal's name: the prefix and 64 upper-case hexadecimal digits.
  static const char16_t kHex[] = u"0123456789ABCDEF";
  std::u16string name(u"\\\\.\\pipe\\ZK5.Terminal.");
  for (std::uint8_t byte : digest) {
    name.push_back(kHex[byte >> 4]);
    name.push_back(kHex[byte & 0x0F]);
  }
  return name;
}

// A client handle connected over a real pipe to a server end held by the
// test itself, which plays the terminal byte by byte.
class PipePair {
 public:
  PipePair() : name_(UniquePipeName()) {
    EXPECT_EQ(server_.Listen(name_, 1), os::ListenStatus::kOk);
    EXPECT_EQ(os::OpenPipe(name_, &client), 0u);
    EXPECT_EQ(server_.Accept(10000, &peer), os::AcceptStatus::kClient);
  }
  ~PipePair() {
    if (client != os::kInvalidPipe) os::ClosePipe(client);
    WaitServed();
    HangUp();
  }
  PipePair(const PipePair&) = delete;
  PipePair& operator=(const PipePair&) = delete;

  // Sends bytes from the server end.
  void Send(const std::string& bytes) const {
    EXPECT_EQ(os::WriteAll(peer, bytes.data(), bytes.size()), os::IoStatus::kOk);
  }
  // The next request frame the client wrote: the length field and as many
  // bytes as it gives.
  std::string ReadFrame() const {
    std::uint32_t length = 0;
    if (os::ReadExact(peer, &length, 4) != os::IoStatus::kOk) return "";
    std::string frame(4 + std::size_t{length}, '\0');
    std::memcpy(&frame[0], &length, 4);
    if (length != 0 && os::ReadExact(peer, &frame[4], length) != os::IoStatus::kOk) return "";
    return frame;
  }
  // Answers each of the next requests with the next of `replies`, once the
  // whole request has arrived, as a terminal does.
  void Serve(std::vector<std::string> replies) {
    serving_ = std::thread([this, replies] {
      for (const std::string& reply : replies) {
        if (ReadFrame().empty()) return;
        Send(reply);
      }
    });
  }
  void WaitServed() {
    if (serving_.joinable()) serving_.join();
  }
  // The server end goes away; what the client has not read is dropped.
  void HangUp() {
    if (peer == os::kInvalidPipe) return;
    server_.Release(peer);
    peer = os::kInvalidPipe;
  }

  os::PipeHandle client = os::kInvalidPipe;
  os::PipeHandle peer = os::kInvalidPipe;

 private:
  std::u16string name_;
  os::PipeServer server_;
  std::thread serving_;
};

}  // namespace zk5::test

#endif  // ZK5_TESTS_NATIVE_TEST_PIPES_H_
