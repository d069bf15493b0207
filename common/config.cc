#include "common/config.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <memory>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>
#include <vector>

#include "common/end.h"
#include "common/file.h"
#include "common/origin.h"

namespace kiv {
namespace {

std::string current_directory() {
  std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
  return cwd ? std::string(cwd.get()) : std::string();
}

/// Ends the process for a configuration failure: `text` on standard output
/// (no headers), "<subject> - %m" to the system log and, in search mode
/// (the daemon, started from a terminal), "<subject>: <error text>" on
/// standard error.
[[noreturn]] void config_fail(std::string_view text, const std::string& subject,
                              ConfigMode mode) {
  int error = errno;
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
  errno = error;
  syslog(LOG_CRIT, "%s - %m", subject.c_str());
  if (mode == ConfigMode::search) fprintf(stderr, "%s: %s\n", subject.c_str(), strerror(error));
  end_process(1);
}

std::string with_slash(std::string_view value) {
  std::string dir(value);
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

bool same_key(std::string_view a, std::string_view b) {
  return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

/// A key=value token of a line, put together from its blank-separated
/// pieces: "wget = /usr/bin/wget" is one token.
struct Token {
  std::string text;        // the pieces without the blanks between them
  std::string written;     // the value as the line has it, blanks and all
  bool blank_in_value = false;
};

/// How a value is checked before it is taken.
enum class ValueKind {
  directory,     // an absolute path
  file_or_none,  // an absolute path, or empty for none
  program,       // an absolute path, a bare name looked up in PATH, or empty for the default
  names,         // host names
  setting,       // a torrent setting, checked where it is used
};

struct Key {
  std::string_view name;
  ValueKind kind;
};
constexpr Key kKeys[] = {
    {"dnldir", ValueKind::directory}, {"droo", ValueKind::directory},
    {"dbin", ValueKind::directory},   {"dwww", ValueKind::directory},
    {"dufb", ValueKind::directory},   {"pidfile", ValueKind::file_or_none},
    {"wget", ValueKind::program},     {"ctor", ValueKind::program},
    {"hosts", ValueKind::names},      {"aria2", ValueKind::program},
    {"bt_port", ValueKind::setting},  {"seed_ratio", ValueKind::setting},
    {"seed_time", ValueKind::setting}, {"dht", ValueKind::setting},
    {"torrent_engine", ValueKind::setting}};

/// A relative path would be taken from wherever a program happens to run.
bool acceptable(ValueKind kind, std::string_view value) {
  bool absolute = value.starts_with('/');
  switch (kind) {
    case ValueKind::directory: return absolute;
    case ValueKind::file_or_none: return absolute || value.empty();
    case ValueKind::program: return absolute || value.find('/') == std::string_view::npos;
    case ValueKind::names:
    case ValueKind::setting: return true;
  }
  return false;
}

std::optional<ConfigFault> apply_token(Config& c, const Token& token) {
  size_t equals = token.text.find('=');
  std::string key = token.text.substr(0, equals);
  std::optional<std::string_view> value;
  if (equals != std::string::npos) value = std::string_view(token.text).substr(equals + 1);

  const Key* known = nullptr;
  for (const Key& k : kKeys)
    if (same_key(key, k.name)) known = &k;
  if (!known) return ConfigFault{key, 0, "Unknown config option '" + key + "'"};
  if (!value) return ConfigFault{key, 0, "quondel: value required for " + key + " option"};
  if (token.blank_in_value)
    return ConfigFault{key, 0, "Value of " + key + " has a blank: '" + token.written + "'"};
  if (!acceptable(known->kind, *value))
    return ConfigFault{key, 0,
                       "Value of " + key + " is not an absolute path: '" + token.written + "'"};

  std::string_view name = known->name;
  if (name == "dnldir") c.dnldir = *value;
  if (name == "droo") c.droo = *value;
  if (name == "dbin") c.dbin = *value;
  if (name == "pidfile") c.pidfile = *value;
  if (name == "dwww") {
    c.dwww = with_slash(*value);
    c.trkdir = c.dwww + "trk/";
  }
  if (name == "dufb") c.dufb = with_slash(*value);
  if (name == "wget" && !value->empty()) c.wget = *value;
  if (name == "ctor" && !value->empty()) c.ctor = *value;
  if (name == "hosts") c.hosts = *value;
  if (name == "aria2" && !value->empty()) c.aria2 = *value;
  if (name == "bt_port") c.bt_port = *value;
  if (name == "seed_ratio") c.seed_ratio = *value;
  if (name == "seed_time") c.seed_time = *value;
  if (name == "dht") c.dht = *value;
  if (name == "torrent_engine") c.torrent_engine = *value;
  return std::nullopt;
}

bool has_equals(std::string_view text) { return text.find('=') != std::string_view::npos; }

bool is_key(std::string_view word) {
  for (const Key& k : kKeys)
    if (same_key(word, k.name)) return true;
  return false;
}

/// Whether the piece `next` belongs to `token`: the "=" after a key, the
/// value after "=", or an item of the host list written with blanks around
/// it ("hosts=nas.lan, media.lan"). A piece with a "=" of its own is always
/// a token of its own.
bool continues(const Token& token, std::string_view next) {
  const std::string& text = token.text;
  if (!has_equals(text)) return next.starts_with('=');
  if (has_equals(next)) return false;
  if (text.back() == '=') return true;
  return same_key(std::string_view(text).substr(0, text.find('=')), "hosts") &&
         (text.back() == ',' || next.front() == ',');
}

std::optional<ConfigFault> apply_line(Config& c, std::string_view line) {
  line = line.substr(0, line.find('#'));
  static constexpr std::string_view kBlanks = " \t\n\r";
  std::vector<Token> tokens;
  size_t value_at = 0;  // where the last token's value starts in the line
  size_t at = 0;
  while ((at = line.find_first_not_of(kBlanks, at)) != std::string_view::npos) {
    size_t end = std::min(line.find_first_of(kBlanks, at), line.size());
    std::string_view piece = line.substr(at, end - at);
    bool joins = !tokens.empty() && continues(tokens.back(), piece);
    // A word after a complete value that is no key: the value had a blank
    // ("hosts=my nas", "dnldir=/mnt/usb disk/").
    bool breaks = !tokens.empty() && !joins && has_equals(tokens.back().text) &&
                  !has_equals(piece) && !is_key(piece);
    if (!joins && !breaks) tokens.emplace_back();
    Token& token = tokens.back();
    if (!has_equals(token.text) && has_equals(piece))
      value_at = at + piece.find('=') + 1;
    else if (token.text.ends_with('='))  // the value starts with this piece
      value_at = at;
    token.text += piece;
    token.blank_in_value = token.blank_in_value || breaks;
    if (has_equals(token.text)) token.written = line.substr(value_at, end - value_at);
    at = end;
  }
  for (const Token& token : tokens)
    if (auto fault = apply_token(c, token)) return fault;
  return std::nullopt;
}

}  // namespace

std::optional<ConfigFault> parse_config_text(Config& c, std::string_view text) {
  // Lines are taken as a 1000-byte line buffer would take them: a longer
  // line is handled as several.
  size_t at = 0;
  size_t line = 1;
  while (at < text.size()) {
    size_t newline = text.find('\n', at);
    size_t end = newline == std::string_view::npos ? text.size() : newline + 1;
    end = std::min(end, at + kConfigPieceLength);
    if (auto fault = apply_line(c, text.substr(at, end - at))) {
      fault->line = line;
      return fault;
    }
    if (text[end - 1] == '\n') ++line;
    at = end;
  }
  return std::nullopt;
}

namespace {

/// The lines of the resolved copy, in their order.
struct ResolvedField {
  std::string_view key;
  std::string Config::*member;
};
constexpr ResolvedField kResolvedFields[] = {
    {"droo", &Config::droo}, {"dbin", &Config::dbin}, {"wget", &Config::wget},
    {"ctor", &Config::ctor}, {"dwww", &Config::dwww}, {"dufb", &Config::dufb},
    {"dnldir", &Config::dnldir}, {"pidfile", &Config::pidfile}};

/// Lines only for values that are set.
constexpr ResolvedField kOptionalFields[] = {
    {"hosts", &Config::hosts},          {"aria2", &Config::aria2},
    {"bt_port", &Config::bt_port},      {"seed_ratio", &Config::seed_ratio},
    {"seed_time", &Config::seed_time},  {"dht", &Config::dht},
    {"torrent_engine", &Config::torrent_engine}};

/// The fields the copy holds: the eight always, the others only when set,
/// so that the copy of a default installation stays as it was.
std::vector<ResolvedField> published_fields(const Config& c) {
  std::vector<ResolvedField> fields(std::begin(kResolvedFields), std::end(kResolvedFields));
  for (const ResolvedField& field : kOptionalFields)
    if (!(c.*field.member).empty()) fields.push_back(field);
  return fields;
}

std::string resolved_line(const ResolvedField& field, const Config& c) {
  return std::string(field.key) + "=" + c.*field.member + "\n";
}

void search_installation(std::string_view program_path) {
  std::string copy(program_path);
  // Searched from anywhere else, it could find another installation's file.
  std::string folder = dirname(copy.data());
  if (chdir(folder.c_str()) != 0)
    config_fail("CRIRICAL ERROR: searching kiv.conf", folder, ConfigMode::search);
  while (!exists(kConfigName) && current_directory().size() > 1) {
    if (chdir("..") != 0) break;
  }
  struct stat st;
  if (stat("bin/", &st) != 0)
    config_fail("CRIRICAL ERROR: searching kiv.conf", kConfigName, ConfigMode::search);

  Config& c = config();
  c.droo = current_directory() + "/";
  c.dbin = c.droo + "bin/";
  c.wget = exists(c.dbin + "wget") ? c.dbin + "wget" : "wget";
  c.ctor = exists(c.dbin + "ctorrent") ? c.dbin + "ctorrent" : "ctorrent";
  if (exists(c.dbin + "aria2c")) c.aria2 = c.dbin + "aria2c";
  c.dwww = c.droo + "www/kiv/";
  c.dufb = c.droo + "www/kivfb/";
  c.trkdir = c.dwww + "trk/";
  c.dnldir = c.dwww + "dnl/";
  c.pidfile = c.dbin + "kiv.pid";

  // An unset PATH must not become an empty entry: that would mean the
  // current directory, often the download directory.
  const char* old_path = getenv("PATH");
  if (!old_path || !*old_path) old_path = "/usr/bin:/bin";
  std::string path = c.dbin + ":" + old_path;
  setenv("PATH", path.c_str(), 1);

  c.confpath = c.droo + kConfigName;
}

}  // namespace

Config& config() {
  static Config record;
  return record;
}

void apply_config_text(std::string_view text, std::string_view source) {
  std::optional<ConfigFault> fault = parse_config_text(config(), text);
  if (!fault) return;
  std::string where = std::string(source) + " line " + std::to_string(fault->line) + ": ";
  fprintf(stderr, "%s%s\n", where.c_str(), fault->message.c_str());
  syslog(LOG_CRIT, "%s%s", where.c_str(), fault->message.c_str());
  end_process(1);
}

std::string resolved_config_text() {
  std::string text;
  for (const ResolvedField& field : published_fields(config()))
    text += resolved_line(field, config());
  return text;
}

std::string_view unpublishable_key() {
  // Each line is read on its own, so checking them one by one checks all.
  for (const ResolvedField& field : published_fields(config())) {
    Config back;
    if (parse_config_text(back, resolved_line(field, config())) ||
        back.*field.member != config().*field.member)
      return field.key;
  }
  return "";
}

void write_resolved_config() {
  const Config& c = config();
  if (!replace_file(kResolvedConfigPath, resolved_config_text(), 0644)) {
    syslog(LOG_CRIT, "%s - %m", c.confpath.c_str());
    printf("Cannot write temporary configuration file %s\n", c.confpath.c_str());
    fflush(stdout);
    return;
  }
  // The web server looks the names up there; it computes none itself.
  if (!publish_box_names(own_host_name(), c.hosts)) syslog(LOG_CRIT, "%s - %m", kBoxNamesPath);
  mkdir(c.dnldir.c_str(), 0755);  // an existing directory is simply kept
}

void read_config(std::string_view program_path, ConfigMode mode) {
  Config& c = config();
  if (mode == ConfigMode::plain) {
    // Anyone can write into /tmp: a copy that the daemon cannot have
    // written would hand every request its programs to run.
    std::string why;
    UniqueFd fd = open_trusted(kResolvedConfigPath, why);
    if (!why.empty()) {
      std::string text = "CRITICAL ERROR: unsafe temporary /tmp/kiv.conf (" + why +
                         "): remove it and start kivd again";
      errno = EPERM;
      config_fail(text, std::string(kResolvedConfigPath) + " (" + why + ")",
                  ConfigMode::plain);
    }
    std::optional<std::string> text;
    if (fd.valid()) text = read_all(fd.get());
    if (!text)
      config_fail("CRITICAL ERROR: opening temporary /tmp/kiv.conf",
                  kResolvedConfigPath, ConfigMode::plain);
    apply_config_text(*text, kResolvedConfigPath);
    return;
  }

  search_installation(program_path);
  if (exists(c.confpath)) {
    std::optional<std::string> text = read_file(c.confpath);
    if (!text) config_fail("CRIRICAL ERROR: opening kiv.conf", c.confpath, ConfigMode::search);
    apply_config_text(*text, c.confpath);
  }
  // A copy that does not read back would stop every CGI program with a
  // baffling message: refuse the configuration here, where it is logged.
  std::string_view key = unpublishable_key();
  if (!key.empty()) {
    syslog(LOG_CRIT,
           "%s - refused: the %.*s line of %s would not read back (longer than %zu "
           "characters, or a blank or \"#\" in the value)",
           c.confpath.c_str(), int(key.size()), key.data(), kResolvedConfigPath,
           kConfigPieceLength);
    printf("CRITICAL ERROR: unusable value of %.*s in %s", int(key.size()), key.data(),
           c.confpath.c_str());
    fflush(stdout);
    end_process(1);
  }
  write_resolved_config();
}

}  // namespace kiv
