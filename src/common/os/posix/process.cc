// Starting the terminal and naming our parent process on POSIX.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "base/text.h"
#include "os/os.h"
#include "os/posix/names.h"
#include "os/posix/spawn.h"

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

bool LaunchProcess(const std::u16string& path, const std::vector<std::u16string>& extra) {
  if (path.empty() || path.find(u'\0') != std::u16string::npos) return false;
  std::string exe = NativePath(path);
  if (exe.empty()) return false;
  std::vector<std::string> args{exe};
  for (const std::u16string& arg : extra) {
    std::string native;
    if (!text::FsEncode(arg.data(), arg.size(), &native)) return false;
    args.push_back(std::move(native));
  }
  const SpawnRequest request(std::move(args), EnvironmentWith({}, {}));
  return SpawnDetached(request, nullptr) == 0;
}

}  // namespace zk5::os
