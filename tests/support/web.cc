#include "tests/support/web.h"

#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/programs.h"

namespace kiv::testing {
WebSite::WebSite(const Installation& installation)
    : root_(installation.root()), port_(free_port()) {
  for (const char* program :
       {"ctl/kiv-ctl", "list/kiv-list", "upload/kiv-upload", "torrent/kiv-torrent"}) {
    std::string name = std::string(program).substr(std::string(program).find('/') + 1);
    install_cgi_program(program, root_ + "www/kiv/cgi-bin/" + name);
    // Where an older installation put them too.
    install_cgi_program(program, root_ + "www/kivfb/cgi-bin/" + name);
  }
  std::string htpasswd = root_ + "bin/htpasswd";
  write_text(htpasswd, read_text(std::string(KIV_SOURCE_DIR) + "/scripts/htpasswd"));
  chmod(htpasswd.c_str(), 0755);
}

std::vector<HostCase> host_cases() {
  std::vector<HostCase> cases;
  std::string text = read_text(std::string(KIV_SOURCE_DIR) + "/tests/host_cases.txt");
  size_t at = 0;
  while (at < text.size()) {
    size_t end = std::min(text.find('\n', at), text.size());
    std::string line = text.substr(at, end - at);
    at = end + 1;
    size_t blank = line.rfind(' ');
    if (line.empty() || line[0] == '#' || blank == std::string::npos) continue;
    cases.push_back({line.substr(0, blank), line.substr(blank + 1) == "yes"});
  }
  return cases;
}

bool WebSite::available() {
  return access("/usr/sbin/lighttpd", X_OK) == 0 && access("/usr/bin/curl", X_OK) == 0;
}

bool WebSite::can_mount() { return geteuid() == 0 && access("/usr/bin/unshare", X_OK) == 0; }

bool WebSite::start(size_t small_disk_kib) {
  std::string script = std::string(KIV_SOURCE_DIR) + "/scripts/webserver.sh";
  std::vector<std::string> argv = {"/bin/bash", script, root_, std::to_string(port_)};
  if (small_disk_kib > 0) {
    argv = {"/usr/bin/unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
            "mount -t tmpfs -o size=" + std::to_string(small_disk_kib) + "k tmpfs '" + root_ +
                "www/kiv/dnl/' && exec /bin/bash '" + script + "' '" + root_ + "' " +
                std::to_string(port_)};
  }
  server_.reset();
  server_ = std::make_unique<Running>(std::move(argv), root_);
  return eventually([&] { return accepts_connections(port_); }, 5);
}

std::string WebSite::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

std::string WebSite::curl(std::vector<std::string> args) const {
  // As a script sends it; a test that must go without passes "X-Kiv;"
  // (an empty header, which the server drops) after it.
  args.insert(args.begin(), {"/usr/bin/curl", "-s", "--path-as-is", "-H", "X-Kiv: 1"});
  return run_program(args, {"PATH=/usr/bin:/bin"}).out;
}

std::string WebSite::status(const std::string& path, const std::string& credentials) const {
  std::vector<std::string> args = {"-o", "/dev/null", "-w", "%{http_code}", url(path)};
  if (!credentials.empty()) args.insert(args.begin(), {"-u", credentials});
  return curl(args);
}

std::string WebSite::ctl(const std::string& query, const std::string& credentials) const {
  std::vector<std::string> args = {url("/cgi-bin/kiv-ctl?" + query)};
  if (!credentials.empty()) args.insert(args.begin(), {"-u", credentials});
  return curl(args);
}

std::string WebSite::upload(const std::string& path, const std::string& curdir) const {
  return curl({"-b", "curdir=" + curdir, "-F", "up=@" + path, url("/cgi-bin/kiv-upload")});
}

}  // namespace kiv::testing
