/* The yardstick of a small request: a C client and a C server exchanging
 * frames of the sizes of SYMBOL_INFO_TICK (a 24-byte request, a 72-byte
 * reply) over a Unix-domain stream socket, one exchange at a time.
 *
 *   terminal_pingpong CALLS
 *
 * Prints "median_wall_ns client_cpu_ns_per_call" for the client side.
 */
#define _GNU_SOURCE
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "sock_io.h"

static int64_t ns(clockid_t c) {
  struct timespec ts;
  clock_gettime(c, &ts);
  return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static int cmp(const void* a, const void* b) {
  int64_t x = *(const int64_t*)a, y = *(const int64_t*)b;
  return (x > y) - (x < y);
}

int main(int argc, char** argv) {
  int calls = argc > 1 ? atoi(argv[1]) : 100000;
  int sv[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 1;
  pid_t pid = fork();
  if (pid == 0) {
    close(sv[0]);
    unsigned char req[24], rep[72];
    memset(rep, 0, sizeof rep);
    uint32_t len = 68;
    memcpy(rep, &len, 4);
    for (;;) {
      if (read_exact(sv[1], req, 4) || read_exact(sv[1], req + 4, 20)) _exit(0);
      memcpy(rep + 4, req + 4, 4);
      if (write_all(sv[1], rep, sizeof rep)) _exit(0);
    }
  }
  close(sv[1]);
  unsigned char req[24], rep[72];
  memset(req, 0, sizeof req);
  uint32_t len = 20, cmd = 172;
  memcpy(req, &len, 4);
  memcpy(req + 4, &cmd, 4);
  int64_t* wall = malloc(sizeof(int64_t) * (size_t)calls);
  int64_t cpu0 = ns(CLOCK_PROCESS_CPUTIME_ID);
  for (int i = 0; i < calls; ++i) {
    int64_t t0 = ns(CLOCK_MONOTONIC);
    if (write_all(sv[0], req, sizeof req) || read_exact(sv[0], rep, 4) ||
        read_exact(sv[0], rep + 4, 68))
      return 1;
    wall[i] = ns(CLOCK_MONOTONIC) - t0;
  }
  int64_t cpu = ns(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
  qsort(wall, (size_t)calls, sizeof *wall, cmp);
  printf("%lld %.1f\n", (long long)wall[calls / 2], (double)cpu / calls);
  close(sv[0]);
  waitpid(pid, NULL, 0);
  return 0;
}
