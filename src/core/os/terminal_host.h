// What a process that hosts the terminal needs from the OS besides serving
// its pipe (pipe_server.h): to be told of a stop signal, folders, durable
// files and the time. POSIX only for now; every descriptor is close-on-exec.
#ifndef ZK5_OS_TERMINAL_HOST_H_
#define ZK5_OS_TERMINAL_HOST_H_

#include <cstdint>
#include <string>

namespace zk5::os {

// Makes SIGTERM, SIGINT and SIGHUP end the wait of PipeServer::Accept with
// kStop instead of killing the process, and ignores SIGPIPE. False on
// failure.
bool InstallStopSignals();
bool StopRequested();

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
