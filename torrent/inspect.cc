#include "torrent/inspect.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"
#include "common/inside.h"
#include "common/quote.h"
#include "common/response.h"
#include "torrent/bencode.h"

namespace kiv::torrent {

std::string read_torrent(const std::string& path, std::string_view name) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) message_answer("File not found:", name);
  // Compared in 64 bits: a 32-bit size_t would cut a size over 4 GiB.
  if (uint64_t(status.st_size) > kMaxTorrentBytes) message_answer("Memory allocation failure", "");
  // Non-blocking and regular files only: a pipe or device must not hang us.
  UniqueFd file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!S_ISREG(status.st_mode) || !file.valid() || fstat(file.get(), &status) != 0 ||
      !S_ISREG(status.st_mode))
    message_answer("Unable to access torrent file:", name);
  // The file opened may have replaced the one looked at: the limit again.
  if (uint64_t(status.st_size) > kMaxTorrentBytes) message_answer("Memory allocation failure", "");
  std::string data(size_t(status.st_size), '\0');
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = read_some(file.get(), data.data() + done, data.size() - done);
    if (n < 0) message_answer("Unable to access torrent file:", name);
    if (n == 0) break;
    done += size_t(n);
  }
  data.resize(done);
  return data;
}

void answer_torrent(const std::string& path, std::string_view name,
                    const std::function<void(const std::string& data)>& answer) {
  try {
    std::string data = read_torrent(path, name);
    if (data.empty()) message_answer("Malformed torrent data:", "empty file");
    answer(data);
    out_flush();
  } catch (const std::bad_alloc&) {
    message_answer("Memory allocation failure", "");
  }
  std::exit(0);
}

void inspect_torrent(std::string_view request_name) {
  std::string_view name = request_name;
  refuse_longer_than(kNameTooLong, "file", name, kMaxRequestName);
  if (name.empty()) message_answer("Unspecified file", std::nullopt);
  std::string path = config().dnldir + "/" + std::string(name);
  check_path(path, PathMessage::capitalised);
  check_reach("/" + std::string(name), Reach::through, PathMessage::capitalised, path);
  answer_torrent(path, name, [&](const std::string& data) {
    Cursor check{data};
    check_value(check);
    out_reset();
    out_headers(HeaderEnd::closed);
    out_append("{file:\"");
    out_append(escape_script(name, '"'));
    out_append("\",benc:");
    Cursor cursor{data};
    print_value(cursor);
    out_append("}");
  });
}

}  // namespace kiv::torrent
