/* Native reading side of the tick benchmark: the fastest a client can take
 * the same reply from the same kind of socket, as a yardstick for the module.
 *
 *   read_baseline SOCKET_PATH MODE REPEAT
 *
 * Each round sends one TICKS_RANGE request and reads the reply with the
 * same recv loop as the module, the records straight into a block chosen by
 * MODE:
 *   fresh     a new malloc block per round (first-touch page faults)
 *   touched   one block written once before the first round, then reused
 *   huge      a new malloc block whose 2 MB-aligned interior is advised for
 *             transparent huge pages before reading
 *   populate  as huge, then prefaulted with MADV_POPULATE_WRITE
 * Prints "MODE SECONDS BYTES" per round; the time runs from the request to
 * the last byte and leaves out freeing the block.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "sock_io.h"

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

static void advise(void* block, size_t size, int populate) {
  const uintptr_t huge = 2u << 20;
  uintptr_t begin = ((uintptr_t)block + huge - 1) & ~(huge - 1);
  uintptr_t end = ((uintptr_t)block + size) & ~(huge - 1);
  if (end <= begin) return;
  madvise((void*)begin, end - begin, MADV_HUGEPAGE);
  if (populate) madvise((void*)begin, end - begin, MADV_POPULATE_WRITE);
}

/* TICKS_RANGE "EURUSD", 0 .. 2^40 ms, flags -1. */
static size_t ticks_range_request(unsigned char* out) {
  const char* symbol = "EURUSD";
  const uint32_t n = (uint32_t)strlen(symbol);
  const uint32_t length = 28 + 2 * n;
  const uint32_t cmd = 105;
  const int64_t from = 0, to = INT64_C(1) << 40;
  const int32_t flags = -1;
  unsigned char* p = out;
  memcpy(p, &length, 4), p += 4;
  memcpy(p, &cmd, 4), p += 4;
  memcpy(p, &n, 4), p += 4;
  for (uint32_t i = 0; i < n; ++i) *p++ = (unsigned char)symbol[i], *p++ = 0;
  memcpy(p, &from, 8), p += 8;
  memcpy(p, &to, 8), p += 8;
  memcpy(p, &flags, 4), p += 4;
  return (size_t)(p - out);
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: %s SOCKET_PATH fresh|touched|huge|populate REPEAT\n", argv[0]);
    return 2;
  }
  const char* mode = argv[2];
  const int repeat = atoi(argv[3]);
  const int touched = strcmp(mode, "touched") == 0;
  const int huge = strcmp(mode, "huge") == 0;
  const int populate = strcmp(mode, "populate") == 0;
  if (!touched && !huge && !populate && strcmp(mode, "fresh") != 0) {
    fprintf(stderr, "read_baseline: unknown mode %s\n", mode);
    return 2;
  }
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(argv[1]) >= sizeof addr.sun_path) return 2;
  strcpy(addr.sun_path, argv[1]);
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0 || connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
    perror("read_baseline: connect");
    return 1;
  }
  unsigned char request[64];
  const size_t request_size = ticks_range_request(request);
  void* kept = NULL;
  size_t kept_size = 0;
  for (int round = 0; round < repeat; ++round) {
    const double t0 = now();
    uint32_t head[4]; /* length, echo, status, count */
    if (write_all(fd, request, request_size) != 0 || read_exact(fd, head, 16) != 0) {
      fprintf(stderr, "read_baseline: exchange failed\n");
      return 1;
    }
    const size_t bytes = (size_t)head[3] * 60;
    void* block;
    if (touched) {
      if (kept_size != bytes) {
        /* Written before the clock starts on later rounds; this round's
         * time is not printed. */
        free(kept);
        kept = malloc(bytes ? bytes : 1);
        memset(kept, 1, bytes);
        kept_size = bytes;
      }
      block = kept;
    } else {
      block = malloc(bytes ? bytes : 1);
      if (block && (huge || populate)) advise(block, bytes, populate);
    }
    if (!block || read_exact(fd, block, bytes) != 0) {
      fprintf(stderr, "read_baseline: read failed\n");
      return 1;
    }
    const double t1 = now();
    if (!touched) free(block);
    if (!(touched && round == 0)) printf("%s %.6f %zu\n", mode, t1 - t0, bytes);
    fflush(stdout);
  }
  free(kept);
  close(fd);
  return 0;
}
