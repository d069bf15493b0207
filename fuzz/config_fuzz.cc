// The configuration reader: for whatever kiv.conf, on whatever
// installation root, the daemon publishes exactly the records whose
// resolved copy reads back in a CGI program to the daemon's values, the
// further host names among them.
// Input: the installation root's path, a line feed, the kiv.conf text.
#include <algorithm>
#include <string>

#include "common/config.h"
#include "fuzz/harness.h"

namespace kiv::fuzz {
namespace {

/// The defaults of an installation at `root` (ending in "/"), as the
/// daemon's search computes them with no programs in bin/.
Config defaults(const std::string& root) {
  Config c;
  c.droo = root;
  c.dbin = root + "bin/";
  c.wget = "wget";
  c.ctor = "ctorrent";
  c.dwww = root + "www/kiv/";
  c.dufb = root + "www/kivfb/";
  c.trkdir = c.dwww + "trk/";
  c.dnldir = c.dwww + "dnl/";
  c.pidfile = c.dbin + "kiv.pid";
  c.confpath = root + "kiv.conf";
  return c;
}

std::string describe(const Config& c) {
  return "droo=" + shown(c.droo) + "\ndbin=" + shown(c.dbin) + "\nwget=" + shown(c.wget) +
         "\nctor=" + shown(c.ctor) + "\ndwww=" + shown(c.dwww) + "\ndufb=" + shown(c.dufb) +
         "\ntrkdir=" + shown(c.trkdir) + "\ndnldir=" + shown(c.dnldir) +
         "\npidfile=" + shown(c.pidfile) + "\nhosts=" + shown(c.hosts) + "\n";
}

/// Everything the copy carries: all but the path of kiv.conf itself.
bool same_values(Config a, Config b) {
  a.confpath = b.confpath = "";
  return a == b;
}

}  // namespace
}  // namespace kiv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kiv::fuzz;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  // A directory's absolute path: no zero byte, no line feed.
  std::string root(input.substr(0, newline));
  if (root.find('\0') != std::string::npos) return 0;
  root = "/" + root + (root.empty() || root.back() != '/' ? "/" : "");
  std::string_view conf = input.substr(newline + 1);

  kiv::config() = defaults(root);
  // kiv.conf: an unknown key or a key without "=" ends the daemon.
  if (run_request([&] { kiv::apply_config_text(conf); }) != -1) return 0;
  kiv::Config daemon = kiv::config();
  bool reads_back = kiv::unpublishable_key().empty();
  std::string copy = kiv::resolved_config_text();

  // Eight lines, and one more for each further setting only when set.
  size_t lines = size_t(std::count(copy.begin(), copy.end(), '\n')), set = 0;
  for (const std::string* value : {&daemon.hosts, &daemon.aria2, &daemon.bt_port, &daemon.seed_ratio,
                                   &daemon.seed_time, &daemon.dht, &daemon.torrent_engine})
    set += !value->empty();
  KIV_CHECK(lines == 8u + set && copy.ends_with('\n') &&
                (daemon.hosts.empty() || copy.find("\nhosts=" + daemon.hosts + "\n") != std::string::npos),
            shown(copy));

  kiv::config() = kiv::Config{};
  int status = run_request([&] { kiv::apply_config_text(copy); });
  bool same = status == -1 && same_values(kiv::config(), daemon);
  KIV_CHECK(same == reads_back,
            std::string(reads_back ? "judged to read back, yet " : "refused, yet ") +
                (status != -1 ? "ends the reader" : same ? "reads back" : "reads back otherwise") +
                ":\n" + shown(copy) + "\nthe daemon has\n" + describe(daemon) +
                "a CGI program reads\n" + describe(kiv::config()));
  return 0;
}
