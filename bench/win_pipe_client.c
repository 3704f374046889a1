/* A Windows client on a terminal's named pipe directly: the baseline of
 * bench_wine.py, built there with mingw-w64 and run under wine.
 *
 *   win_pipe_client.exe PIPE_NAME CALLS COUNT START_MS
 *
 * Sends SYMBOL_INFO_TICK("EURUSD") CALLS times (after 1000 unmeasured) and
 * prints the median round trip in nanoseconds; then asks TICKS_FROM for
 * COUNT BTCUSD ticks from START_MS twice (the first unmeasured), reading
 * each reply with large ReadFile calls straight into a fresh block, as the
 * module receives an array, and prints the seconds of the second. */
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

static HANDLE pipe_h;

static void die(const char* what) {
  fprintf(stderr, "win_pipe_client: %s failed (%lu)\n", what, GetLastError());
  exit(1);
}

static void write_all(const void* p, DWORD n) {
  while (n) {
    DWORD put = 0;
    if (!WriteFile(pipe_h, p, n, &put, NULL) || put == 0) die("WriteFile");
    p = (const char*)p + put;
    n -= put;
  }
}

static void read_all(void* p, uint64_t n) {
  while (n) {
    DWORD got = 0;
    DWORD ask = n > (1u << 30) ? (1u << 30) : (DWORD)n;
    if (!ReadFile(pipe_h, p, ask, &got, NULL)) die("ReadFile");
    p = (char*)p + got;
    n -= got;
  }
}

/* length, command, then a UTF-16 string and `extra` bytes of arguments. */
static size_t request(unsigned char* out, uint32_t command, const wchar_t* symbol,
                      const void* extra, uint32_t extra_size) {
  uint32_t units = (uint32_t)wcslen(symbol);
  uint32_t length = 4 + 4 + 2 * units + extra_size;
  memcpy(out, &length, 4);
  memcpy(out + 4, &command, 4);
  memcpy(out + 8, &units, 4);
  memcpy(out + 12, symbol, 2 * units);
  memcpy(out + 12 + 2 * units, extra, extra_size);
  return 4 + length;
}

static int cmp_i64(const void* a, const void* b) {
  int64_t x = *(const int64_t*)a, y = *(const int64_t*)b;
  return x < y ? -1 : x > y;
}

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) return 2;
  const int calls = _wtoi(argv[2]);
  const int32_t count = _wtoi(argv[3]);
  const int64_t start_ms = _wtoi64(argv[4]);
  for (;;) {
    pipe_h = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (pipe_h != INVALID_HANDLE_VALUE) break;
    if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeW(argv[1], NMPWAIT_WAIT_FOREVER)) {
      die("CreateFileW");
    }
  }
  LARGE_INTEGER freq;
  QueryPerformanceFrequency(&freq);

  unsigned char req[256], reply[256];
  const size_t tick_req = request(req, 172, L"EURUSD", NULL, 0);
  int64_t* times = malloc(sizeof(int64_t) * (size_t)calls);
  for (int i = -1000; i < calls; ++i) {
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    write_all(req, (DWORD)tick_req);
    uint32_t length;
    read_all(&length, 4);
    if (length > sizeof reply) die("reply size");
    read_all(reply, length);
    QueryPerformanceCounter(&t1);
    if (i >= 0) times[i] = (t1.QuadPart - t0.QuadPart) * 1000000000LL / freq.QuadPart;
  }
  qsort(times, (size_t)calls, sizeof *times, cmp_i64);

  unsigned char args[16];
  const int32_t flags = -1;
  memcpy(args, &start_ms, 8);
  memcpy(args + 8, &count, 4);
  memcpy(args + 12, &flags, 4);
  const size_t ticks_req = request(req, 104, L"BTCUSD", args, 16);
  double seconds = 0;
  for (int round = 0; round < 2; ++round) {
    LARGE_INTEGER t0, t1;
    QueryPerformanceCounter(&t0);
    write_all(req, (DWORD)ticks_req);
    uint32_t length;
    read_all(&length, 4);
    void* block = VirtualAlloc(NULL, length, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (block == NULL) die("VirtualAlloc");
    read_all(block, length);
    QueryPerformanceCounter(&t1);
    if (length != 12 + 60ull * (uint64_t)count) die("tick count");
    VirtualFree(block, 0, MEM_RELEASE);
    seconds = (double)(t1.QuadPart - t0.QuadPart) / (double)freq.QuadPart;
  }
  printf("%lld %.6f\n", (long long)times[calls / 2], seconds);
  return 0;
}
