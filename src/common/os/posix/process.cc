// Starting the terminal and naming our parent process on POSIX.
#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "os/os.h"
#include "os/posix/names.h"
#include "os/posix/spawn.h"
#include "os/wine.h"

namespace zk5::os {

namespace {

// The longest parent image path we report, as the Windows side does.
constexpr std::size_t kMaxImageUnits = 259;

}  // namespace

std::u16string ParentProcessImage() {
  char link[32];
  std::snprintf(link, sizeof link, "/proc/%ld/exe", static_cast<long>(getppid()));
  std::string target(256, '\0');
  for (;;) {
    const ssize_t n = readlink(link, &target[0], target.size());
    if (n < 0) return {};
    if (static_cast<std::size_t>(n) < target.size()) {
      target.resize(static_cast<std::size_t>(n));
      break;
    }
    target.resize(target.size() * 2);  // possibly cut: ask again with more room
  }
  std::u16string image = WidePath(target);
  if (image.size() > kMaxImageUnits) image.resize(kMaxImageUnits);
  return image;
}

namespace {

int Launch(const std::u16string& path, const std::vector<std::u16string>& extra,
           LaunchWatch* watch) {
  if (path.empty() || path.find(u'\0') != std::u16string::npos) return ENOENT;
  std::string exe = NativePath(path);
  if (exe.empty()) return ENOENT;
  std::vector<std::string> args{exe};
  for (const std::u16string& arg : extra) {
    std::string native;
    if (!text::FsEncode(arg.data(), arg.size(), &native)) return EINVAL;
    args.push_back(std::move(native));
  }
  const SpawnRequest request(std::move(args), EnvironmentWith({}, {}));
  return SpawnDetached(request, watch);
}

}  // namespace

bool LaunchProcess(const std::u16string& path, const std::vector<std::u16string>& extra) {
  return Launch(path, extra, nullptr) == 0;
}

int LaunchWatched(const std::u16string& path, const std::vector<std::u16string>& extra,
                  LaunchWatch* watch) {
  return Launch(path, extra, watch);
}

void OnForkChild(void (*fn)()) { pthread_atfork(nullptr, nullptr, fn); }

void AbandonPipe(PipeHandle h) {
  // Not ClosePipe: that would end the parent's relay.
  if (h != kInvalidPipe) close(static_cast<int>(h));
}

}  // namespace zk5::os
