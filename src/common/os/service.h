// What a long-running serving process needs from the OS besides serving its
// pipe (pipe_server.h): to be told of a stop signal, folders, durable files
// and the time. Every descriptor is close-on-exec.
#ifndef ZK5_COMMON_OS_SERVICE_H_
#define ZK5_COMMON_OS_SERVICE_H_

#include <cstdint>
#include <string>

#include "os/os.h"

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
// With `flush` false nothing is flushed: readers never see a partial file,
// but after a system crash the file may be lost (for data that can be
// made again).
bool WriteFileAtomic(const std::u16string& path, const std::string& bytes, bool flush = true);

// The whole content of a file; false when it cannot be opened or read.
bool ReadWholeFile(const std::u16string& path, std::string* out);

// Copies the regular file at `from` (links followed: the caller named it)
// to `to` as WriteFileAtomic would write it, a piece at a time, so that
// memory does not grow with the file. False when `from` is not a regular
// file or the copy fails (nothing is left at `to` then).
bool CopyFileAtomic(const std::u16string& from, const std::u16string& to);

// Removes a file; true when it is gone afterwards.
bool RemoveFile(const std::u16string& path);

// Renames a file, replacing the target.
bool RenameFile(const std::u16string& from, const std::u16string& to);

// ---- Files taken in from a folder: only regular files, never through a
// link, never waiting.

// What is at a path, without following a link there.
enum class FileKind {
  kMissing,
  kRegular,
  kFolder,
  kLink,   // a symbolic link (or another reparse point), whatever it leads to
  kOther,  // a FIFO (named pipe), a device, a socket
  kError,  // cannot be told
};
// Where a FileKind is named in messages: "a symbolic link", "a folder", ...
inline const char* FileKindName(FileKind kind) {
  switch (kind) {
    case FileKind::kMissing:
      return "missing";
    case FileKind::kRegular:
      return "a regular file";
    case FileKind::kFolder:
      return "a folder";
    case FileKind::kLink:
      return "a symbolic link";
    case FileKind::kOther:
      return "a FIFO, pipe, device or socket";
    case FileKind::kError:
      break;
  }
  return "unreadable";
}
FileKind KindOfPath(const std::u16string& path);

// A file opened for reading (OpenRegularFile).
using FileHandle = std::intptr_t;
constexpr FileHandle kInvalidFile = -1;
// Opens `path` for reading when it is a regular file: a link in its last
// component is not followed, and opening a FIFO or a device does not wait
// for it. Anything else leaves *out invalid, with its kind returned.
FileKind OpenRegularFile(const std::u16string& path, FileHandle* out, std::uint64_t* size);
// Waits until no other program holds a write lock on the file (flock
// LOCK_EX on POSIX, an exclusive LockFileEx on Windows: it is still being
// written), holds a shared one until the file is closed, and gives its
// size then. False when its size cannot be told.
bool WaitForWriters(FileHandle h, std::uint64_t* size);
// Reads up to n bytes; *got 0 at the end. False on a read error.
bool ReadFromFile(FileHandle h, void* buf, std::size_t n, std::size_t* got);
void CloseFile(FileHandle h);

// Makes `path` a folder when nothing is there (its parent must exist);
// true when it is a real folder afterwards, not a link to one.
bool MakeRealFolder(const std::u16string& path);

// Flushes a file's (or, on POSIX, a folder's) data already written by any
// descriptor of this process to disk. Safe from any thread.
bool FlushToDisk(const std::u16string& path);

// Milliseconds since 1970 by the wall clock.
std::int64_t NowMs();

// ---- The data folder's privacy and ownership.

// Makes every file and folder this process creates private to its user
// (umask 077).
void MakeCreatedFilesPrivate();
// Takes group and other permissions away from an existing file or folder.
// True when done or when `path` does not exist.
bool RestrictToOwner(const std::u16string& path);

enum class LockStatus {
  kLocked,  // this process holds the lock until it ends
  kHeld,    // another live process holds it; *holder is its pid when known
  kError,
};
// Takes an exclusive lock on the file at `path` (created when missing) for
// the rest of the process's life, and writes the process id into it, with
// `note` (one line) on the line after. The kernel drops the lock when the
// process dies, however it ends. On kHeld, *holder_note is what the holder
// noted (empty when unknown). `error`, when given, receives the platform
// error of kError.
LockStatus LockForLife(const std::u16string& path, const std::string& note, std::int64_t* holder,
                       std::string* holder_note, std::uint32_t* error = nullptr);

// Whether another process holds the lock LockForLife takes on `path`, told
// without taking it on POSIX (on Windows a free lock is taken and given
// back at once), nothing created; when it does, *holder is its pid and
// *holder_note what it noted, when known.
bool LockHeld(const std::u16string& path, std::int64_t* holder, std::string* holder_note);

// The second line of a lock file's text (the note), without its line end.
inline std::string LockNote(const std::string& text) {
  const std::size_t first = text.find('\n');
  if (first == std::string::npos) return {};
  std::size_t end = text.find('\n', first + 1);
  if (end == std::string::npos) return {};  // cut short: not all of it
  if (end > first + 1 && text[end - 1] == '\r') --end;
  return text.substr(first + 1, end - first - 1);
}

// The folder that holds pipe sockets ($XDG_RUNTIME_DIR or /tmp/zk5-<uid>),
// for messages.
std::u16string SocketFolderName();

}  // namespace zk5::os

#endif  // ZK5_COMMON_OS_SERVICE_H_
