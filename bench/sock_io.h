/* Whole-buffer socket transfers shared by the native benchmark programs:
 * short transfers are completed, EINTR retried, SIGPIPE never raised. */
#ifndef ZK5_BENCH_SOCK_IO_H_
#define ZK5_BENCH_SOCK_IO_H_

#include <errno.h>
#include <stddef.h>
#include <sys/socket.h>
#include <sys/types.h>

static int read_exact(int fd, void* buf, size_t n) {
  char* p = buf;
  while (n != 0) {
    ssize_t got = recv(fd, p, n, 0);
    if (got > 0) {
      p += got;
      n -= (size_t)got;
    } else if (got == 0 || errno != EINTR) {
      return -1;
    }
  }
  return 0;
}

static int write_all(int fd, const void* buf, size_t n) {
  const char* p = buf;
  while (n != 0) {
    ssize_t put = send(fd, p, n, MSG_NOSIGNAL);
    if (put > 0) {
      p += put;
      n -= (size_t)put;
    } else if (put < 0 && errno != EINTR) {
      return -1;
    }
  }
  return 0;
}

#endif /* ZK5_BENCH_SOCK_IO_H_ */
