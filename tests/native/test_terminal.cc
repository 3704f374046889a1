#include "test_terminal.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "connection/search.h"
#include "ipc/commands.h"
#include "os/pipe_server.h"

namespace zk5::test_terminal {

namespace {

using ipc::CommandId;

// Requests of the tests are small; anything larger is nonsense.
constexpr std::uint32_t kMaxRequest = 1 << 20;
constexpr std::size_t kPiece = 1000;

class Reply {
 public:
  Reply(CommandId id, std::int32_t status) {
    u32(0);  // length, set by send()
    u32(static_cast<std::uint32_t>(id));
    u32(static_cast<std::uint32_t>(status));
  }
  Reply& u32(std::uint32_t v) { return bytes(&v, 4); }
  Reply& bytes(const void* p, std::size_t n) {
    bytes_.append(static_cast<const char*>(p), n);
    return *this;
  }
  Reply& text(const std::u16string& s) {
    u32(static_cast<std::uint32_t>(s.size()));
    return bytes(s.data(), s.size() * 2);
  }
  // The frame with its length; `extra` more bytes are announced.
  const std::string& frame(std::uint32_t extra = 0) {
    const std::uint32_t length = static_cast<std::uint32_t>(bytes_.size() - 4) + extra;
    std::memcpy(&bytes_[0], &length, 4);
    return bytes_;
  }
  bool send(os::PipeHandle pipe) {
    const std::string& f = frame();
    return os::WriteAll(pipe, f.data(), f.size()) == os::IoStatus::kOk;
  }

 private:
  std::string bytes_;
};

std::string BulkBytes(std::uint64_t begin, std::uint64_t end) {
  std::string out(end - begin, '\0');
  for (std::uint64_t i = begin; i < end; ++i) out[i - begin] = static_cast<char>(BulkByte(i));
  return out;
}

// Small writes with pauses, so the reader sees the reply arrive in parts.
bool SendInPieces(os::PipeHandle pipe, const std::string& data) {
  for (std::size_t at = 0, n = 0; at < data.size(); at += kPiece, ++n) {
    const std::size_t size = std::min(kPiece, data.size() - at);
    if (os::WriteAll(pipe, data.data() + at, size) != os::IoStatus::kOk) return false;
    if (n % 16 == 15) os::SleepMs(2);
  }
  return true;
}

bool StdoutWritable() { return std::fputs("\n", stdout) >= 0 && std::fflush(stdout) == 0; }

std::u16string Report(const Options& options) {
  std::u16string report = u"portable=";
  report += options.portable ? u"1" : u"0";
  report += u"\nparent=" + os::ParentProcessImage();
  if (options.own_process) {
    report += u"\nstdout=";
    report += StdoutWritable() ? u"ok" : u"none";
    std::u16string base;
    TerminalCandidate best;
    report += u"\nchosen=";
    if (DataFoldersBase(&base) && ChooseTerminal(base, &best)) report += best.exe_path;
  }
  return report;
}

template <typename T>
bool Arg(const std::string& body, std::size_t at, T* value) {
  if (body.size() < at + sizeof(T)) return false;
  std::memcpy(value, body.data() + at, sizeof(T));
  return true;
}

bool TextArg(const std::string& body, std::size_t at, std::u16string* text) {
  std::uint32_t n = 0;
  if (!Arg(body, at, &n) || body.size() < at + 4 + std::uint64_t{n} * 2) return false;
  text->resize(n);
  if (n != 0) std::memcpy(&(*text)[0], body.data() + at + 4, std::size_t{n} * 2);
  return true;
}

}  // namespace

Outcome ServeConnection(os::PipeHandle pipe, const Options& options, std::uint32_t served) {
  for (;;) {
    std::uint32_t length = 0;
    if (os::ReadExact(pipe, &length, 4) != os::IoStatus::kOk) return Outcome::kClientGone;
    if (length < 4 || length > kMaxRequest) return Outcome::kClientGone;
    std::string body(length, '\0');
    if (os::ReadExact(pipe, &body[0], length) != os::IoStatus::kOk) return Outcome::kClientGone;
    std::uint32_t raw_id = 0;
    Arg(body, 0, &raw_id);
    const CommandId id = static_cast<CommandId>(raw_id);
    std::uint64_t n = 0;
    std::u16string text;
    bool ok = true;
    switch (id) {
      case CommandId::HELLO:
        ok = Reply(id, 0).u32(kBuild).send(pipe);
        break;
      case CommandId::VERSION:
        ok = Reply(id, 0).u32(kBuild).u32(served).text(Report(options)).send(pipe);
        break;
      case CommandId::TERMINAL_STATE:
        ok = Reply(id, 0).u32(2).send(pipe);
        break;
      case CommandId::HISTORY_DEALS_BY_POSITION: {
        if (!Arg(body, 4, &n) || n * kRecordSize > kMaxRequest * 8u) return Outcome::kClientGone;
        Reply reply(id, 0);
        reply.u32(static_cast<std::uint32_t>(n))
            .bytes(BulkBytes(0, n * kRecordSize).data(), n * kRecordSize);
        ok = SendInPieces(pipe, reply.frame());
        break;
      }
      case CommandId::HISTORY_ORDERS_BY_POSITION: {
        if (!Arg(body, 4, &n) || n * kRecordSize > kMaxRequest * 8u) return Outcome::kClientGone;
        const std::uint64_t half = n * kRecordSize / 2;
        Reply reply(id, 0);
        reply.u32(static_cast<std::uint32_t>(n));
        const std::string& head = reply.frame(static_cast<std::uint32_t>(n * kRecordSize));
        ok = os::WriteAll(pipe, head.data(), head.size()) == os::IoStatus::kOk &&
             SendInPieces(pipe, BulkBytes(0, half));
        // Let the reader wait for the rest before the end comes.
        os::SleepMs(200);
        return Outcome::kDie;
      }
      case CommandId::BOOK_ADD:
        if (!TextArg(body, 4, &text)) return Outcome::kClientGone;
        ok = Reply(id, os::LaunchProcess(text, {}) ? 0 : kCallFailed).send(pipe);
        break;
      case CommandId::BOOK_RELEASE:
        Reply(id, 0).send(pipe);
        return Outcome::kQuit;
      default:
        ok = Reply(id, kCallFailed).send(pipe);
        break;
    }
    if (!ok) return Outcome::kClientGone;
  }
}

std::u16string ReportValue(const std::u16string& report, const std::u16string& key) {
  const std::u16string prefix = key + u"=";
  std::size_t at = 0;
  while (at <= report.size()) {
    std::size_t end = report.find(u'\n', at);
    if (end == std::u16string::npos) end = report.size();
    if (report.compare(at, prefix.size(), prefix) == 0) {
      return report.substr(at + prefix.size(), end - at - prefix.size());
    }
    at = end + 1;
  }
  return u"?";
}

std::u16string BuiltTerminal() {
  std::u16string self = os::ExecutablePath();
  const std::size_t slash = self.find_last_of(u"/\\");
  self.resize(slash == std::u16string::npos ? 0 : slash + 1);
#ifdef _WIN32
  return self + u"zk5_test_terminal.exe";
#else
  return self + u"zk5_test_terminal";
#endif
}

}  // namespace zk5::test_terminal
