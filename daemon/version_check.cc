#include "daemon/version_check.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"
#include "common/quote.h"
#include "common/shell.h"
#include "daemon/daemon.h"

namespace kiv {
namespace {

constexpr std::string_view kVersionCharacters =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ.-+~_";

/// The first bytes of `path`: enough for a version line and its line end.
std::optional<std::string> read_start(const std::string& path) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  std::string data(kVersionLineLength + 3, '\0');
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = read(fd.get(), data.data() + done, data.size() - done);
    if (n <= 0) break;
    done += size_t(n);
  }
  data.resize(done);
  return data;
}

}  // namespace

std::optional<std::string> published_version(std::string_view first_bytes) {
  std::string_view line = first_bytes.substr(0, first_bytes.find('\n'));
  if (line.ends_with('\r')) line.remove_suffix(1);  // a CRLF line end is a line end
  if (line.empty() || line.size() > kVersionLineLength ||
      line.find_first_not_of(kVersionCharacters) != std::string_view::npos ||
      line.find_first_of("0123456789") == std::string_view::npos)
    return std::nullopt;
  return std::string(line);
}

std::string version_download_command(std::string_view wget, std::string_view release_page) {
  std::string address = std::string(release_page) + "/" + kVersionFile;
  return "(ulimit -f " + std::to_string(kVersionFileBlocks) + "; " + std::string(wget) +
         " " + shell_word(address) + "); touch " + kVersionFile;
}

std::string release_notice(std::string_view published, std::string_view release_page) {
  std::string page = escape_html(release_page);
  return std::string("Your version of ") + kProgramName + " is <b>" + std::string(kVersion) +
         "</b> while the latest stable version is reported to be <b>" +
         escape_html(published) + "</b>\n" + "Check on <a href=\"" + page + "\">" + page +
         "</a> to see if you need to upgrade to a newer version\n";
}

void check_version(std::string_view release_page) {
  const Config& c = config();
  // wget stores the file in the working directory: without the web
  // directory there is nowhere sound to put it.
  if (chdir(c.dwww.c_str()) != 0) return;
  std::string copy = c.dwww + kVersionFile;
  struct stat st;
  if (stat(copy.c_str(), &st) != 0) return;
  if (time(nullptr) - st.st_mtime <= kCheckInterval) return;

  // A copy that another user made (root's touch, in a sticky web directory)
  // cannot go: wget would then add version.html.1, .2, ... once a minute.
  if (unlink(copy.c_str()) != 0 && errno != ENOENT) {
    syslog(LOG_WARNING, "%s - %m: the release check needs it to be the daemon's own",
           copy.c_str());
    return;
  }
  run_shell(version_download_command(c.wget, release_page));
  std::optional<std::string> start = read_start(copy);
  if (!start) return;
  std::optional<std::string> published = published_version(*start);
  if (!published || *published == kVersion) return;
  replace_file(c.trkdir + kNoticeFile, release_notice(*published, release_page), 0644);
}

}  // namespace kiv
