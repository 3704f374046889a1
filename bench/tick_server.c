/* Native stand-in terminal for the tick benchmark.
 *
 * Serves one prebuilt array reply of COUNT 60-byte tick records on a
 * Unix-domain stream socket, fast enough that the reading side is what gets
 * measured: the reply lives in memory that was touched when it was built and
 * goes out with large blocking sends.
 *
 *   tick_server SOCKET_PATH COUNT [BUILD]
 *
 * Answers HELLO with BUILD (default 4000), TERMINAL_STATE with 2 (ready),
 * the five bar and tick commands with the array, and anything else with
 * status -7. Prints "READY" on stdout once listening; serves connections one
 * after the other until killed (or until its parent dies, on Linux).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>

#include "sock_io.h"
#endif

enum { kRecordSize = 60, kReplyHeader = 16 };

static void put_u32(unsigned char* p, uint32_t v) { memcpy(p, &v, 4); }

/* A small reply: echo, status, optional u32 value. */
static int reply_small(int fd, uint32_t cmd, int32_t status, const uint32_t* value) {
  unsigned char frame[16];
  uint32_t length = value ? 12 : 8;
  put_u32(frame, length);
  put_u32(frame + 4, cmd);
  memcpy(frame + 8, &status, 4);
  if (value) put_u32(frame + 12, *value);
  return write_all(fd, frame, 4 + length);
}

/* length, echo, status 0, count, then the records. */
static unsigned char* build_reply(uint32_t count, size_t* size) {
  const size_t payload = (size_t)count * kRecordSize;
  if (payload > UINT32_MAX - 12) return NULL;
  unsigned char* frame = malloc(kReplyHeader + payload);
  if (!frame) return NULL;
  put_u32(frame, (uint32_t)(12 + payload));
  put_u32(frame + 4, 0);
  memset(frame + 8, 0, 4);
  put_u32(frame + 12, count);
  unsigned char* r = frame + kReplyHeader;
  for (uint32_t i = 0; i < count; ++i, r += kRecordSize) {
    const int64_t time_msc = INT64_C(1700000000000) + (int64_t)i * 37;
    const int64_t time = time_msc / 1000;
    const double bid = 1.1 + (double)(i % 1000) * 1e-5;
    const double ask = bid + 2e-5;
    const double last = 0.0;
    const uint64_t volume = i % 7;
    const uint32_t flags = 6;
    const double volume_real = (double)volume;
    memcpy(r + 0, &time, 8);
    memcpy(r + 8, &bid, 8);
    memcpy(r + 16, &ask, 8);
    memcpy(r + 24, &last, 8);
    memcpy(r + 32, &volume, 8);
    memcpy(r + 40, &time_msc, 8);
    memcpy(r + 48, &flags, 4);
    memcpy(r + 52, &volume_real, 8);
  }
  *size = kReplyHeader + payload;
  return frame;
}

static void serve(int fd, unsigned char* array_reply, size_t array_size, uint32_t build) {
  static unsigned char request[65536];
  for (;;) {
    uint32_t length;
    if (read_exact(fd, &length, 4) != 0) return;
    if (length < 4 || length > sizeof request) return;
    if (read_exact(fd, request, length) != 0) return;
    uint32_t cmd;
    memcpy(&cmd, request, 4);
    int rc;
    if (cmd == 4) {
      rc = reply_small(fd, cmd, 0, &build);
    } else if (cmd == 109) {
      const uint32_t ready = 2;
      rc = reply_small(fd, cmd, 0, &ready);
    } else if (cmd >= 104 && cmd <= 108) {
      put_u32(array_reply + 4, cmd);
      rc = write_all(fd, array_reply, array_size);
    } else {
      rc = reply_small(fd, cmd, -7, NULL);
    }
    if (rc != 0) return;
  }
}

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    fprintf(stderr, "usage: %s SOCKET_PATH COUNT [BUILD]\n", argv[0]);
    return 2;
  }
#ifdef __linux__
  prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
  const char* path = argv[1];
  const uint32_t count = (uint32_t)strtoul(argv[2], NULL, 10);
  const uint32_t build = argc > 3 ? (uint32_t)strtoul(argv[3], NULL, 10) : 4000;
  size_t size = 0;
  unsigned char* array_reply = build_reply(count, &size);
  if (!array_reply) {
    fprintf(stderr, "tick_server: cannot build a reply of %u records\n", count);
    return 1;
  }
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) {
    fprintf(stderr, "tick_server: socket path too long\n");
    return 1;
  }
  strcpy(addr.sun_path, path);
  int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  unlink(path);
  if (listener < 0 || bind(listener, (struct sockaddr*)&addr, sizeof addr) != 0 ||
      listen(listener, 4) != 0) {
    perror("tick_server");
    return 1;
  }
  printf("READY\n");
  fflush(stdout);
  for (;;) {
    int fd = accept(listener, NULL, NULL);
    if (fd < 0) {
      if (errno == EINTR) continue;
      perror("tick_server: accept");
      return 1;
    }
    serve(fd, array_reply, size, build);
    close(fd);
  }
}
