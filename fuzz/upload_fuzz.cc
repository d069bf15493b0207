// The multipart receiver, fed through a pipe in reads of any sizes: a
// well-formed body with any payload stores exactly that payload under its
// name and nothing else; any other body stores at most one whole file and
// never leaves a temporary file; nothing ever lands outside the download
// directory.
// The last input byte picks the form: even bytes build a well-formed body
// around a payload (with bit 1 set, the payload repeated to a length of up
// to three windows, so that the window is refilled wherever the delimiter
// falls), odd ones take the rest as the raw body.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sched.h>
#include <set>
#include <string>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "common/config.h"
#include "common/file.h"
#include "common/response.h"
#include "fuzz/harness.h"
#include "upload/receive.h"

namespace kiv::fuzz {
namespace {

/// Writes `body` into a pipe in pieces of the given sizes, each one only
/// once the receiver has taken everything before it, so each read returns
/// at most one piece.
class Feeder {
 public:
  Feeder(std::string body, std::vector<size_t> sizes) : body_(std::move(body)), sizes_(std::move(sizes)) {
    int ends[2];
    if (pipe(ends) != 0) abort();
    if (ends[0] != STDIN_FILENO) {
      dup2(ends[0], STDIN_FILENO);
      close(ends[0]);
    }
    writer_ = ends[1];
    thread_ = std::thread([this] { feed(); });
  }
  ~Feeder() {
    stop_ = true;
    // Closes the reading end: a blocked write fails, the feeder ends.
    int null = open("/dev/null", O_RDONLY);
    dup2(null, STDIN_FILENO);
    close(null);
    thread_.join();
  }

 private:
  void feed() {
    // The receiver installs its own SIGPIPE handler, which ends the process:
    // writing after it stopped reading must only fail, here in this thread.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    size_t at = 0;
    for (size_t piece = 0; at < body_.size() && !stop_; ++piece) {
      // At most 64 pieces: a long body in one-byte writes
      // would take seconds.
      size_t size = sizes_.empty() ? body_.size() : std::max(sizes_[piece % sizes_.size()], body_.size() / 64);
      size = std::min(size, body_.size() - at);
      if (!write_all(writer_, std::string_view(body_).substr(at, size))) break;
      at += size;
      int waiting = 1;
      while (!stop_ && ioctl(writer_, FIONREAD, &waiting) == 0 && waiting > 0) sched_yield();
    }
    close(writer_);
  }

  std::string body_;
  std::vector<size_t> sizes_;
  int writer_ = -1;
  std::atomic<bool> stop_ = false;
  std::thread thread_;
};

/// Every name in `directory`, recursively, relative to it.
std::set<std::string> everything(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(directory))
    names.insert(entry.path().string().substr(directory.size()));
  return names;
}

std::string describe(const std::set<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += shown(name) + "\n";
  return out;
}

// Bytes a browser leaves in a boundary, a quoted file name, a cookie.
std::string only(std::string text, std::string_view refused) {
  std::erase_if(text, [&](char c) { return refused.find(c) != std::string_view::npos; });
  return text;
}

/// "." + a name + ".upload-" (or ".copy-", ".pack-") + six letters or
/// digits: the names files have while an upload, a copy or a pack makes
/// them. A file sent under such a name is refused, or it would be taken
/// for a leftover and removed.
bool temporary_looking(std::string_view name) {
  for (std::string_view infix : {".upload-", ".copy-", ".pack-"}) {
    if (name.size() < 2 + infix.size() + 6 || name[0] != '.') continue;
    std::string_view random = name.substr(name.size() - 6);
    if (std::all_of(random.begin(), random.end(), [](char c) { return isalnum((unsigned char)c); }) &&
        name.substr(name.size() - 6 - infix.size(), infix.size()) == infix)
      return true;
  }
  return false;
}

}  // namespace
}  // namespace kiv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kiv::fuzz;
  FuzzedDataProvider input(data, size);
  std::string scratch = scratch_directory();
  empty_directory(scratch);
  std::string dnldir = scratch + "dnl/";
  std::filesystem::create_directories(dnldir + "sub");
  kiv::config().dnldir = dnldir;

  uint8_t form = input.ConsumeIntegral<uint8_t>();
  bool well_formed = form % 2 == 0;
  size_t stretch = form & 2 ? input.ConsumeIntegralInRange<size_t>(0, 3 * kiv::upload::kWindowSize) : 0;
  std::vector<size_t> sizes(input.ConsumeIntegralInRange<size_t>(0, 8));
  for (size_t& piece : sizes) piece = input.ConsumeIntegralInRange<size_t>(1, 70000);

  std::string cookie, boundary, body, sent, name, payload;
  if (well_formed) {
    boundary = "--" + only(input.ConsumeRandomLengthString(70), std::string_view("\"\r\n\0", 4));
    sent = only(input.ConsumeRandomLengthString(600), std::string_view("\"\r\n\0", 4));
    name = sent.substr(sent.find_last_of("\\/") + 1);
    if (input.ConsumeBool()) cookie = "curdir=/sub";
    else cookie = "lang=en; curdir=/";
    payload = input.ConsumeRemainingBytesAsString();
    if (!payload.empty() && payload.size() < stretch) {
      payload.reserve(stretch + payload.size());
      while (payload.size() < stretch) payload += payload;
      payload.resize(stretch);
    }
    std::string delimiter = "\r\n--" + boundary;
    if ((payload + "\r\n").find(delimiter) != std::string::npos) return 0;  // not well-formed
    body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"note\"\r\n\r\nhi\r\n--" +
           boundary + "\r\nContent-Disposition: form-data; name=\"up\"; filename=\"" + sent +
           "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + payload + delimiter +
           "--\r\n";
  } else {
    boundary = only(input.ConsumeRandomLengthString(80), std::string_view("\0", 1));
    cookie = only(input.ConsumeRandomLengthString(80), std::string_view("\0", 1));
    body = input.ConsumeRemainingBytesAsString();
  }
  setenv("HTTP_COOKIE", cookie.c_str(), 1);
  std::string type = "multipart/form-data; boundary=" + boundary;
  setenv("CONTENT_TYPE", type.c_str(), 1);

  int status;
  {
    Feeder feeder(body, sizes);
    status = run_request(kiv::upload::receive_upload);
  }
  std::string answer = kiv::out_text();
  std::set<std::string> left = everything(scratch);
  left.erase("dnl");
  left.erase("dnl/sub");
  for (const std::string& entry : left)
    KIV_CHECK(entry.starts_with("dnl/"), "written outside the download directory: " + shown(entry));

  if (!well_formed) {
    KIV_CHECK(left.size() <= (status == -1 ? 1u : 0u),
              "status " + std::to_string(status) + ", left:\n" + describe(left) + shown(answer));
    return 0;
  }
  bool refused = sent.size() > kiv::upload::kMaxFileName || name.size() > NAME_MAX ||
                 name.empty() || name == "." ||
                 name == ".." || name == ".htpasswd" || temporary_looking(name) ||
                 (name == "sub" && cookie != "curdir=/sub");  // a directory there
  if (refused) {
    KIV_CHECK(status == 0 && left.empty(), "refused name " + shown(sent) + " left:\n" + describe(left));
    return 0;
  }
  std::string stored = (cookie == "curdir=/sub" ? "dnl/sub/" : "dnl/") + name;
  KIV_CHECK(status == -1, "well-formed upload of " + shown(sent) + " failed: " + shown(answer));
  KIV_CHECK(left == std::set<std::string>{stored}, "expected " + shown(stored) + ", left:\n" + describe(left));
  std::optional<std::string> content = kiv::read_file(scratch + stored);
  KIV_CHECK(content && *content == payload, "stored " + std::to_string(content ? content->size() : 0) +
                                                " bytes of " + std::to_string(payload.size()));
  return 0;
}
