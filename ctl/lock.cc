#include "ctl/lock.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/config.h"
#include "common/file.h"
#include "common/inside.h"
#include "common/quote.h"
#include "common/response.h"
#include "common/shell.h"
#include "ctl/checks.h"

namespace kiv::ctl {
namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kNotEnabled = "<br>Basic Authentication was not enabled";
constexpr std::string_view kRestart = "Close and restart the browser to complete the operation";
constexpr std::string_view kUserLength = "Username must be between 6 and 10 chars long<br>";
constexpr std::string_view kPasswordLength = "Password must be between 6 and 10 chars long<br>";

/// Where the package leaves the password it locked a new installation with,
/// below the installation root, in a directory the programs' user may
/// remove it from but not read.
constexpr std::string_view kInitialPassword = "etc/lock/initial-password";

/// Once the owner has set a password of their own or opened the box, the
/// initial one opens nothing: it goes. Elsewhere than the package's layout
/// there is none.
void forget_initial_password(const Config& c) {
  std::string path = c.droo + std::string(kInitialPassword);
  if (unlink(path.c_str()) != 0 && errno != ENOENT) error_answer(errno, path);
}

bool has_control_characters(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7F) return true;
  return false;
}

/// Which web directories a lock covers: the box's own, or with them the
/// second web directory's.
enum class LockReach { own, both };

/// The directories the lock writes .htpasswd into. For the default layout
/// these are the web server's list, scripts/lock-directories.
std::vector<std::string> lock_directories(const Config& c, LockReach reach) {
  std::vector<std::string> dirs = {c.dwww, c.trkdir, c.dwww + "cgi-bin/"};
  if (reach == LockReach::both) dirs.insert(dirs.end(), {c.dufb, c.dufb + "cgi-bin/"});
  return dirs;
}

/// The ":"-separated fields; runs of ":" separate like one.
std::vector<std::string> fields(std::string_view text) {
  std::vector<std::string> parts;
  size_t at = 0;
  while ((at = text.find_first_not_of(':', at)) != std::string_view::npos) {
    size_t end = std::min(text.find(':', at), text.size());
    parts.emplace_back(text.substr(at, end - at));
    at = end;
  }
  return parts;
}

/// Decodes standard base64 (no "=" fill needed), zero bytes included.
/// Characters outside the alphabet count as the end of the data.
std::string base64_decode(std::string_view text) {
  auto value = [&](size_t at) -> unsigned {
    if (at >= text.size()) return 64;
    size_t position = kAlphabet.find(text[at]);
    return position == std::string_view::npos ? 64 : unsigned(position);
  };
  std::string bytes;
  for (size_t at = 0; at < text.size(); at += 4) {
    unsigned p = value(at), q = value(at + 1), r = value(at + 2), s = value(at + 3);
    if (p == 64 || q == 64) break;
    bytes += char((p << 2 | q >> 4) & 0xFF);
    if (r == 64) break;
    bytes += char(((q & 15) << 4 | r >> 2) & 0xFF);
    if (s == 64) break;
    bytes += char(((r & 3) << 6 | s) & 0xFF);
  }
  // Whole: a zero byte is refused with the control characters, never a
  // password cut short there.
  return bytes;
}

[[noreturn]] void lock_on(const std::string& credentials) {
  const Config& c = config();
  std::string message;
  if (credentials.size() <= 1)
    message = "Insert username and password to enable Basic Authentication<br>";
  if (!credentials.empty() && credentials.front() == ':') message += kUserLength;
  if (!credentials.empty() && credentials.back() == ':') message += kPasswordLength;
  if (!message.empty()) message_answer(message, kNotEnabled);

  std::vector<std::string> parts = fields(credentials);
  std::string user = parts.size() > 0 ? parts[0] : "";
  std::string password = base64_decode(parts.size() > 1 ? parts[1] : "");
  LockReach reach =
      parts.size() > 2 && parts[2].starts_with('1') ? LockReach::both : LockReach::own;
  if (user.size() < kMinCredential || user.size() > kMaxCredential) message = kUserLength;
  if (password.size() < kMinCredential || password.size() > kMaxCredential)
    message += kPasswordLength;
  // A line feed would end the password early; other control characters
  // cannot be typed at the browser's password prompt.
  if (has_control_characters(user) || has_control_characters(password))
    message += "Username and password must not hold control characters<br>";
  // The tool would take it for an option.
  if (user.starts_with('-')) message += "Username must not begin with -<br>";
  if (!message.empty()) message_answer(message, kNotEnabled);

  // The password on the tool's standard input: a command line is visible to
  // every local user while it runs.
  const std::vector<std::string> htpasswd[] = {{c.dbin + "htpasswd", "-n", user}};
  ShellResult made = run_programs(htpasswd, -1, password + "\n");
  std::string line = made.output.substr(0, made.output.find('\n') + 1);
  if (!made.succeeded() || !line.starts_with(user + ":") || !line.ends_with('\n'))
    message_answer("Unable to write lock files", kNotEnabled);
  // Each replaced whole: the web server never reads a half-written one, and
  // after a power cut each is the old or the new. Telling the user to restart
  // the browser while nothing is protected would be a false sense of safety.
  // Only the web server's user, which the programs run as, reads the hashes.
  for (const std::string& dir : lock_directories(c, reach))
    if (!replace_file(dir + std::string(kLockFileName), line, 0600))
      message_answer("Unable to write lock files", kNotEnabled);
  forget_initial_password(c);
  message_answer(kRestart, "");
}

/// "read" answers "OK" or "KO", "unlock" removes the lock files, anything
/// else is "user:base64-password[:flag]" and switches the lock on.
[[noreturn]] void do_lock(const std::string& argument) {
  const Config& c = config();
  if (argument == "read")
    message_answer(exists(c.dwww + std::string(kLockFileName)) ? "OK" : "KO", "");
  if (argument == "unlock") {
    for (const std::string& dir : lock_directories(c, LockReach::both)) {
      std::string path = dir + std::string(kLockFileName);
      if (unlink(path.c_str()) != 0 && errno != ENOENT) error_answer(errno, path);
    }
    forget_initial_password(c);
    message_answer(kRestart, "");
  }
  lock_on(argument);
}

}  // namespace

void lock_command(const std::string& file, const std::string&) { do_lock(file); }

}  // namespace kiv::ctl
