#include "upload/receive.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/config.h"
#include "common/dir.h"
#include "common/file.h"
#include "common/inside.h"
#include "common/quote.h"
#include "common/request.h"
#include "common/response.h"
#include "common/temporary.h"

namespace kiv::upload {
namespace {

constexpr std::string_view kNameMarker = "filename=\"";

[[noreturn]] void fail(std::string_view message) { message_answer(message, ""); }

/// The target directory from the cookie, relative to the download directory
/// ("" for the download directory itself). Taken whole or refused.
std::string target_directory() {
  const char* cookie = getenv("HTTP_COOKIE");
  std::optional<std::string> value;
  if (cookie) value = cookie_value(cookie, kCookieField);
  if (!value) return "";
  std::string directory = *value;
  if (!url_decode(directory)) fail("Malformed request field: curdir");
  refuse_longer_than(kNameTooLong, kCookieField, directory, kMaxNameLength);
  // Always below the download directory: "//tmp/x" is not "/tmp/x".
  directory.erase(0, directory.find_first_not_of('/'));
  return directory;
}

std::string delimiter() {
  const char* type = getenv("CONTENT_TYPE");
  std::string_view content_type = type ? type : "";
  size_t dashes = content_type.find("--");
  std::string refusal = "errore CONTENT_TYPE:" + std::string(content_type) + "\n";
  if (dashes == std::string_view::npos) fail(refusal);
  std::string text = "\r\n--" + std::string(content_type.substr(dashes));
  text = text.substr(0, text.find('"'));
  if (text.size() > kMaxDelimiter) fail(refusal);
  return text;
}

/// The body on standard input, read into a window of fixed size.
class Window {
 public:
  Window() : data_(kWindowSize) {}
  std::string_view valid() const { return {data_.data() + start_, end_ - start_}; }
  /// Forgets the first `count` valid bytes.
  void consume(size_t count) { start_ += count; }
  /// Moves what is valid to the front and reads more after it; false at the
  /// end of the input (or on a read error, which ends it just the same).
  bool fill() {
    if (start_ > 0) memmove(data_.data(), data_.data() + start_, end_ - start_);
    end_ -= start_;
    start_ = 0;
    if (end_ == data_.size()) return true;
    ssize_t n = read_some(STDIN_FILENO, data_.data() + end_, data_.size() - end_);
    if (n <= 0) return false;
    end_ += size_t(n);
    return true;
  }
  bool full() const { return end_ - start_ == data_.size(); }

 private:
  std::vector<char> data_;
  size_t start_ = 0, end_ = 0;
};

/// Reads up to the data of the first file part and returns its file name
/// (path components dropped), leaving the window at the first data byte.
std::string read_part_header(Window& window) {
  // Until the marker is seen: keep only a tail that could start it.
  size_t marker;
  for (;;) {
    marker = window.valid().find(kNameMarker);
    if (marker != std::string_view::npos) break;
    std::string_view valid = window.valid();
    if (valid.size() >= kNameMarker.size()) window.consume(valid.size() - kNameMarker.size() + 1);
    if (!window.fill()) fail("Upload failed: no filename received");
  }
  window.consume(marker + kNameMarker.size());

  // The rest of the part header must fit in one window. Each refill is
  // searched from where the last search stopped: a client sending a byte at
  // a time must not make this quadratic.
  size_t quote = std::string_view::npos, data = std::string_view::npos;
  size_t searched = 0;
  for (;;) {
    std::string_view valid = window.valid();
    if (quote == std::string_view::npos) {
      quote = valid.find('"', searched);
      searched = quote == std::string_view::npos ? valid.size() : quote + 1;
    }
    if (quote != std::string_view::npos) {
      // "\r\n\r\n" may have begun in the last three bytes already searched.
      size_t from = std::max(quote + 1, searched >= 3 ? searched - 3 : 0);
      data = valid.find("\r\n\r\n", from);
      if (data != std::string_view::npos) break;
      searched = valid.size();
    }
    if (window.full() || !window.fill()) {
      fail(quote == std::string_view::npos ? "Upload failed: no filename termination"
                                           : "Upload failed: no file");
    }
  }
  std::string name(window.valid().substr(0, quote));
  window.consume(data + 4);

  refuse_longer_than(kNameTooLong, "file name", name, kMaxFileName);
  name.erase(0, name.rfind('\\') + 1);  // npos + 1 == 0: nothing to drop
  name.erase(0, name.rfind('/') + 1);
  return name;
}

// What the signal handler removes: prepared before the file exists, so the
// handler only calls unlink and _exit.
char pending_name[NAME_MAX + 1];
volatile sig_atomic_t pending_armed = 0;
constexpr int kEndingSignals[] = {SIGTERM, SIGHUP, SIGPIPE, SIGINT};

extern "C" void remove_pending_and_exit(int signal) {
  if (pending_armed) unlink(pending_name);
  _exit(128 + signal);
}

/// Holds back the ending signals while in scope, so that the temporary
/// file and what the handler knows of it change together.
class EndingSignalsBlocked {
 public:
  EndingSignalsBlocked() {
    sigset_t ending;
    sigemptyset(&ending);
    for (int signal : kEndingSignals) sigaddset(&ending, signal);
    sigprocmask(SIG_BLOCK, &ending, &previous_);
  }
  ~EndingSignalsBlocked() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  EndingSignalsBlocked(const EndingSignalsBlocked&) = delete;
  EndingSignalsBlocked& operator=(const EndingSignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

/// The uploaded file under a temporary name beside its final one; removed
/// unless kept, also when the web server ends the request by a signal (the
/// client went away or stalled).
class PartialFile {
 public:
  explicit PartialFile(const std::string& name)
      : temporary_(temporary_template(name, TemporaryKind::upload)) {
    EndingSignalsBlocked blocked;
    struct sigaction action = {};
    action.sa_handler = remove_pending_and_exit;
    sigfillset(&action.sa_mask);
    for (int signal : kEndingSignals) sigaction(signal, &action, nullptr);
    fd_ = UniqueFd(mkostemp(temporary_.data(), O_CLOEXEC));
    if (!fd_.valid()) fail("Upload failed: unable to save file");
    hold_temporary(fd_.get());
    memcpy(pending_name, temporary_.c_str(), temporary_.size() + 1);
    pending_armed = 1;
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_.get(), 0666 & ~mask);
  }
  ~PartialFile() {
    if (!kept_) remove();
  }
  int fd() const { return fd_.get(); }
  /// Removes what was written, then ends the request (exit skips destructors).
  [[noreturn]] void abandon(std::string_view message) {
    fd_.close();
    remove();
    fail(message);
  }
  /// Flushes and closes the file and gives it its name; false when any of
  /// these fails. After a power cut a file under its final name is whole.
  bool keep(const std::string& name) {
    if (fsync(fd_.get()) != 0 || !fd_.close()) return false;
    EndingSignalsBlocked blocked;
    if (rename(temporary_.c_str(), name.c_str()) != 0) return false;
    pending_armed = 0;
    kept_ = true;
    sync_folder_of(name);
    return true;
  }

 private:
  void remove() {
    EndingSignalsBlocked blocked;
    pending_armed = 0;
    unlink(temporary_.c_str());
  }

  std::string temporary_;
  UniqueFd fd_;
  bool kept_ = false;
};

}  // namespace

void receive_upload() {
  std::string directory = target_directory();
  if (name_leads_up(directory)) fail("Upload failed: directory outside the download directory");
  std::string end_of_file = delimiter();
  Window window;
  if (!window.fill()) fail("Upload failed: no filename received");
  std::string name = read_part_header(window);

  // Never write where the program happens to run (its cgi-bin), nor above
  // the download directory.
  if (chdir(config().dnldir.c_str()) != 0) fail("Upload failed: unable to save file");
  // A link inside may not lead out either; a loop or an overlong name
  // stores nothing.
  Verdict verdict = judge_path(config().dnldir, directory, Reach::through);
  if (verdict == Verdict::outside) fail("Upload failed: directory outside the download directory");
  if (verdict != Verdict::inside) fail("Upload failed: unable to save file");
  // Never a guessed place: a folder that is not there stores nothing.
  if (!directory.empty() && chdir(directory.c_str()) != 0)
    fail(errno == ENOENT || errno == ENOTDIR ? "Upload failed: directory not found"
                                             : "Upload failed: unable to save file");
  // A lock file here would make the web server ask for someone else's
  // password; a temporary's name would be taken for a leftover.
  if (name.empty() || name == "." || name == ".." || is_reserved_name(name))
    fail("Upload failed: unable to save file");

  remove_stale_temporaries(".");
  PartialFile file(name);
  for (;;) {
    std::string_view valid = window.valid();
    size_t found = valid.find(end_of_file);
    size_t safe = found != std::string_view::npos ? found
                  : valid.size() >= end_of_file.size() ? valid.size() - end_of_file.size() + 1
                                                       : 0;
    if (!write_all(file.fd(), valid.substr(0, safe))) file.abandon("Upload failed: unable to save file");
    window.consume(safe);
    if (found != std::string_view::npos) break;
    if (!window.fill()) file.abandon("Upload failed: file incomplete");
  }
  if (!file.keep(name)) file.abandon("Upload failed: unable to save file");
}

}  // namespace kiv::upload
