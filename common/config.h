#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kiv {

/// Where the installation lives. Directory values end with "/" and are
/// joined to relative names by plain concatenation.
struct Config {
  std::string droo;      // installation root
  std::string dbin;      // programs directory
  std::string wget;      // path or bare name of the HTTP/FTP transfer program
  std::string ctor;      // path or bare name of the BitTorrent transfer program
  std::string aria2;     // path or bare name of the magnet-link program; "" for aria2c
  std::string dwww;      // web directory
  std::string dufb;      // second web directory
  std::string trkdir;    // job directory, always dwww + "trk/"
  std::string dnldir;    // download directory
  std::string pidfile;   // kivd writes its process number there
  std::string confpath;  // kiv.conf itself; set in search mode only
  std::string hosts;     // further host names the box answers to, comma-separated
  // aria2c's torrent settings, checked where they are used; "" for the defaults
  std::string bt_port;     // listening port or range ("6881-6999")
  std::string seed_ratio;  // share ratio after which seeding ends
  std::string seed_time;   // minutes of seeding at most
  std::string dht;         // "on" or "off"
  std::string torrent_engine;  // what runs torrent files: "ctorrent" ("" too) or "aria2c"

  bool operator==(const Config&) const = default;
};

/// The resolved copy the daemon writes and every CGI program reads.
inline constexpr const char* kResolvedConfigPath = "/tmp/kiv.conf";
inline constexpr const char* kConfigName = "kiv.conf";
/// kiv.conf lines are read in pieces of at most this many characters.
inline constexpr size_t kConfigPieceLength = 999;

enum class ConfigMode {
  plain,   // read /tmp/kiv.conf only (the CGI programs)
  search,  // find the root from the program's path, read kiv.conf, publish
};

/// The process-wide record; filled once by read_config.
Config& config();

/// Fills config(). In search mode `program_path` is the program's own
/// invocation path; the working directory ends at the installation root and
/// PATH starts with the programs directory. Failures end the process with
/// status 1 and a bare text (no headers).
void read_config(std::string_view program_path, ConfigMode mode);

/// The first token of a configuration text that is refused.
struct ConfigFault {
  std::string key;
  size_t line;          // counted from 1
  std::string message;  // "Unknown config option '<key>'", or the missing value's
};

/// Applies the tokens of a configuration text (kiv.conf syntax) to `record`
/// up to the first refused one, which it returns. Ends nothing.
std::optional<ConfigFault> parse_config_text(Config& record, std::string_view text);

/// Applies a configuration text to config(). On an unknown key or a known
/// key without "=" it writes "<source> line <n>: <message>" to standard
/// error and the system log and ends the process with status 1.
void apply_config_text(std::string_view text, std::string_view source = kConfigName);

/// Writes the resolved copy (resolved_config_text) atomically (mode 0644), then creates
/// the download directory. A failed write is reported and skipped.
void write_resolved_config();

/// The resolved copy for the current record: a line a key, the hosts line
/// only when further host names are set.
std::string resolved_config_text();

/// The key of the first value of the current record that its line in the
/// resolved copy would not give back (a line longer than a piece, a blank
/// or a "#" in the value), or "" when the whole copy reads back.
std::string_view unpublishable_key();

}  // namespace kiv
