// The serving end of the terminal's pipe, for programs that stand in for the
// terminal (the bundled terminal and the test terminal).
//
// A server listens on a Windows-style pipe name ("\\.\pipe\NAME") and hands
// out one connected PipeHandle per client, used with ReadExact and WriteAll.
// At most `instances` clients are served at once; the others wait in
// OpenPipe until a place is free. An accepted handle belongs to the server:
// end it with Release, never with ClosePipe, unless it was handed over
// (HandOver). Only one live server serves a name; a second one is turned
// away, and a name left behind by a server that died is taken over.
//
// On POSIX a name is a Unix-domain stream socket in the private socket
// folder (see posix/socket_dir.h), and a lock file beside it, held while the
// name is served, decides who serves it: the kernel drops the lock when its
// holder dies, so a socket file left by a killed server is known to be
// stale, and two servers started at the same moment cannot both win. Every
// descriptor is close-on-exec. On Windows a named mutex plays the lock
// file's part. Nothing here depends on Python.
#ifndef ZK5_COMMON_OS_PIPE_SERVER_H_
#define ZK5_COMMON_OS_PIPE_SERVER_H_

#include <cstdint>
#include <memory>
#include <string>

#include "os/os.h"

namespace zk5::os {

// The path of this process's executable file, or empty. A terminal names its
// pipe after it.
std::u16string ExecutablePath();

// Where clients reach the pipe `name`: its socket file on POSIX (see
// posix/socket_dir.h), the name itself on Windows. 0 with *address, else
// the platform error number (EPERM: the socket folder is not private).
std::uint32_t PipeAddress(const std::u16string& name, std::u16string* address);

enum class ListenStatus {
  kOk,             // serving the name
  kAlreadyServed,  // another live server holds the name
  kUnsafeFolder,   // the socket folder is not private to this user (POSIX)
  kError,          // *error holds the platform error number
};

enum class AcceptStatus {
  kClient,   // *client holds a new connection
  kTimeout,  // nobody came within the time
  kStop,     // a stop signal arrived (POSIX, see InstallStopSignals in
             // service.h); never on Windows
  kError,    // *error holds the platform error number
};

class PipeServer {
 public:
  // As many clients at once as the platform allows; for a server that hands
  // its connections over and keeps count itself.
  static constexpr unsigned kManyInstances = 0xFFFFFFFFu;

  PipeServer();
  ~PipeServer();  // Close()
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // Starts serving `name` for up to `instances` clients at once. `error`
  // may be null.
  ListenStatus Listen(const std::u16string& name, unsigned instances,
                      std::uint32_t* error = nullptr);
  // Waits up to timeout_ms (negative: without limit) for the next client.
  // Fails at once (EBUSY, ERROR_PIPE_BUSY) while `instances` accepted
  // connections are neither released nor handed over. `error` may be null.
  AcceptStatus Accept(int timeout_ms, PipeHandle* client, std::uint32_t* error = nullptr);
  // Ends an accepted connection; its place goes to the next client. What the
  // client has not read yet is dropped.
  void Release(PipeHandle client);
  // Hands an accepted connection over to the caller for good: it no longer
  // takes a place here, and the caller ends it with ClosePipe (the stream
  // layer does so itself when it finds the pipe broken).
  void HandOver(PipeHandle client);
  // Ends every connection not handed over and stops serving the name.
  void Close();

  // Whether clients can still reach the name. On POSIX its socket file, or
  // its folder, may be removed or replaced while it is served (a logout, a
  // cleaner of /tmp): then the socket is made again when the folder is
  // still private and nobody else has taken the name meanwhile (kRemade),
  // else kLost, and the server should end. Windows names cannot be taken
  // away: always kServed.
  enum class NameStatus { kServed, kRemade, kLost };
  NameStatus CheckName();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_PIPE_SERVER_H_
