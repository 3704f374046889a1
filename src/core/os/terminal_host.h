// What a process that hosts the terminal needs from the OS: to serve its
// pipe name exclusively and wait for clients with a time limit, to be told
// of a stop signal, its own path, folders, and durable files.
//
// On POSIX a pipe name is a Unix-domain stream socket in the private socket
// folder (socket_dir.h). A lock file beside it, held for the host's
// lifetime, decides who serves the name: the kernel drops it when its
// holder dies, so a socket file left behind by a killed host is known to be
// stale and is replaced, and two hosts started at the same moment cannot
// both win. Every descriptor is close-on-exec; nothing here raises SIGPIPE.
#ifndef ZK5_OS_TERMINAL_HOST_H_
#define ZK5_OS_TERMINAL_HOST_H_

#include <cstdint>
#include <string>

#include "os/os.h"

namespace zk5::os {

struct PipeListener {
  std::intptr_t socket = -1;
  std::intptr_t lock = -1;
  std::string path;  // the socket's file, removed by CloseListener
};

enum class ListenStatus {
  kOk,             // serving; *out holds the listener
  kAlreadyServed,  // another live host holds the name
  kError,          // *err holds the platform error number
};

// Starts serving the Windows-style pipe name `name` ("\\.\pipe\NAME").
ListenStatus ListenPipe(const std::u16string& name, PipeListener* out, int* err);

enum class AcceptStatus {
  kClient,   // *client holds a new connection
  kTimeout,  // nobody came within the time
  kStop,     // a stop signal arrived (see InstallStopSignals)
  kError,
};

// Waits up to timeout_ms (negative: without limit) for the next client.
AcceptStatus AcceptPipe(const PipeListener& listener, int timeout_ms, PipeHandle* client);

// Stops serving: closes the socket, removes its file and releases the name.
void CloseListener(PipeListener* listener);

// Makes SIGTERM, SIGINT and SIGHUP end the wait of AcceptPipe with kStop
// instead of killing the process, and ignores SIGPIPE. False on failure.
bool InstallStopSignals();
bool StopRequested();

// The canonical path of the running executable, or empty.
std::u16string ExecutablePath();

// Creates `path` and any missing parents (mode 0755). True when it exists
// as a folder afterwards.
bool MakeDirectories(const std::u16string& path);

// Replaces the file at `path` by `bytes` so that a crash at any moment
// leaves either the old or the new content: a temporary file beside it is
// written, flushed to disk and renamed over it, and the folder is flushed.
bool WriteFileAtomic(const std::u16string& path, const std::string& bytes);

// The whole content of a file; false when it cannot be opened or read.
bool ReadWholeFile(const std::u16string& path, std::string* out);

// Removes a file; true when it is gone afterwards.
bool RemoveFile(const std::u16string& path);

// Renames a file, replacing the target.
bool RenameFile(const std::u16string& from, const std::u16string& to);

// Milliseconds since 1970 by the wall clock.
std::int64_t NowMs();

}  // namespace zk5::os

#endif  // ZK5_OS_TERMINAL_HOST_H_
