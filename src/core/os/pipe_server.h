// The serving end of the terminal's pipe, for programs that stand in for the
// terminal (the bundled terminal and the test terminal).
//
// A server listens on a Windows-style pipe name ("\\.\pipe\NAME") and hands
// out one connected PipeHandle per client, used with ReadExact, WriteAll and
// Release. At most `instances` clients are served at once; the others wait
// in OpenPipe until a place is free. Accepted handles belong to the server:
// end them with Release, never with ClosePipe. Nothing here includes
// Python.h.
#ifndef ZK5_OS_PIPE_SERVER_H_
#define ZK5_OS_PIPE_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "os/os.h"

namespace zk5::os {

// The path of this process's executable file, or empty. A terminal names its
// pipe after it.
std::u16string SelfImage();

class PipeServer {
 public:
  PipeServer();
  ~PipeServer();  // Close()
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Starts serving `name`. Returns 0, or the platform error number; fails
  // when another live server already serves the name.
  std::uint32_t Listen(const std::u16string& name, unsigned instances);
  // Waits for the next client. Returns 0 and sets *client, or the platform
  // error number. Fails while `instances` clients are connected.
  std::uint32_t Accept(PipeHandle* client);
  // Ends an accepted connection; its place goes to the next client. What the
  // client has not read yet is dropped.
  void Release(PipeHandle client);
  // Ends every connection and stops serving the name.
  void Close();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zk5::os

#endif  // ZK5_OS_PIPE_SERVER_H_
