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
/// (no headers), "<subject> - %m" to the system log and, when asked,
/// "<subject>: <error text>" on standard error.
[[noreturn]] void config_fail(std::string_view text, const std::string& subject,
                              bool to_stderr) {
  int error = errno;
  fwrite(text.data(), 1, text.size(), stdout);
  fflush(stdout);
  errno = error;
  syslog(LOG_CRIT, "%s - %m", subject.c_str());
  if (to_stderr) fprintf(stderr, "%s: %s\n", subject.c_str(), strerror(error));
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

std::optional<ConfigFault> apply_token(Config& c, std::string_view token) {
  size_t equals = token.find('=');
  std::string_view key = token.substr(0, equals);
  std::optional<std::string_view> value;
  if (equals != std::string_view::npos) value = token.substr(equals + 1);

  static constexpr std::string_view kKeys[] = {
      "dnldir", "droo", "dbin", "dwww", "dufb", "pidfile", "wget", "ctor", "hosts"};
  std::string_view known;
  for (std::string_view k : kKeys)
    if (same_key(key, k)) known = k;
  if (known.empty())
    return ConfigFault{std::string(key), 0, "Unknown config option '" + std::string(key) + "'"};
  if (!value)
    return ConfigFault{std::string(key), 0,
                       "quondel: value required for " + std::string(key) + " option"};

  if (known == "dnldir") c.dnldir = *value;
  if (known == "droo") c.droo = *value;
  if (known == "dbin") c.dbin = *value;
  if (known == "pidfile") c.pidfile = *value;
  if (known == "dwww") {
    c.dwww = with_slash(*value);
    c.trkdir = c.dwww + "trk/";
  }
  if (known == "dufb") c.dufb = with_slash(*value);
  if (known == "wget" && !value->empty()) c.wget = *value;
  if (known == "ctor" && !value->empty()) c.ctor = *value;
  if (known == "hosts") c.hosts = *value;
  return std::nullopt;
}

/// Whether `next` goes on the host list that `token` holds, written with
/// blanks around an item ("hosts=nas.lan, media.lan"). A host name has no
/// "=", so a token with one is always a token of its own.
bool continues_list(std::string_view token, std::string_view next) {
  size_t equals = token.find('=');
  return equals != std::string_view::npos && same_key(token.substr(0, equals), "hosts") &&
         next.find('=') == std::string_view::npos &&
         (token.back() == '=' || token.back() == ',' || next.front() == ',');
}

std::optional<ConfigFault> apply_line(Config& c, std::string_view line) {
  line = line.substr(0, line.find('#'));
  static constexpr std::string_view kBlanks = " \t\n\r";
  std::vector<std::string> tokens;
  size_t at = 0;
  while ((at = line.find_first_not_of(kBlanks, at)) != std::string_view::npos) {
    size_t end = std::min(line.find_first_of(kBlanks, at), line.size());
    std::string_view token = line.substr(at, end - at);
    if (!tokens.empty() && continues_list(tokens.back(), token))
      tokens.back() += token;
    else
      tokens.emplace_back(token);
    at = end;
  }
  for (const std::string& token : tokens)
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

/// The fields the copy holds: the eight always, the further host names only
/// when set, so that the copy of a default installation stays as it was.
std::vector<ResolvedField> published_fields(const Config& c) {
  std::vector<ResolvedField> fields(std::begin(kResolvedFields), std::end(kResolvedFields));
  if (!c.hosts.empty()) fields.push_back({"hosts", &Config::hosts});
  return fields;
}

std::string resolved_line(const ResolvedField& field, const Config& c) {
  return std::string(field.key) + "=" + c.*field.member + "\n";
}

void search_installation(std::string_view program_path) {
  std::string copy(program_path);
  if (chdir(dirname(copy.data())) != 0) {
    // Not fatal: the search then starts wherever we are.
  }
  while (!exists(kConfigName) && current_directory().size() > 1) {
    if (chdir("..") != 0) break;
  }
  struct stat st;
  if (stat("bin/", &st) != 0)
    config_fail("CRIRICAL ERROR: searching kiv.conf", kConfigName, true);

  Config& c = config();
  c.droo = current_directory() + "/";
  c.dbin = c.droo + "bin/";
  c.wget = exists(c.dbin + "wget") ? c.dbin + "wget" : "wget";
  c.ctor = exists(c.dbin + "ctorrent") ? c.dbin + "ctorrent" : "ctorrent";
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

void require_value(std::string_view key, std::optional<std::string_view> value) {
  if (value) return;
  fprintf(stderr, "quondel: value required for %.*s option\n", int(key.size()),
          key.data());
  end_process(1);
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
      config_fail(text, std::string(kResolvedConfigPath) + " (" + why + ")", false);
    }
    std::optional<std::string> text;
    if (fd.valid()) text = read_all(fd.get());
    if (!text)
      config_fail("CRITICAL ERROR: opening temporary /tmp/kiv.conf",
                  kResolvedConfigPath, false);
    apply_config_text(*text, kResolvedConfigPath);
    return;
  }

  search_installation(program_path);
  if (exists(c.confpath)) {
    std::optional<std::string> text = read_file(c.confpath);
    if (!text) config_fail("CRIRICAL ERROR: opening kiv.conf", c.confpath, true);
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
