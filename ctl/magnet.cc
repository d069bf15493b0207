#include "ctl/magnet.h"

#include <cstdint>
#include <optional>

#include "common/aria2_state.h"
#include "common/config.h"
#include "common/date.h"
#include "common/file_choice.h"
#include "common/process.h"
#include "common/quote.h"
#include "common/request.h"
#include "common/response.h"

namespace kiv::ctl {
namespace {

constexpr std::string_view kHashPrefix = "urn:btih:";
constexpr std::string_view kHexDigits = "0123456789abcdefABCDEF";
/// RFC 3986 characters besides "%": nothing else may reach aria2c, and none
/// of them needs more than double quotes in a shell line.
constexpr std::string_view kUriCharacters =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~:/?#[]@!$&'()*+,;=";
/// A ratio or a number of minutes has at most this many characters.
constexpr size_t kSettingLength = 8;

std::string invalid(std::string_view why) { return "Invalid magnet link: " + std::string(why); }

/// The decoded value, or nothing when an escape is not whole.
std::optional<std::string> decoded(std::string_view value) {
  std::string text;
  for (size_t at = 0; at < value.size(); ++at) {
    if (value[at] != '%') {
      text += value[at];
      continue;
    }
    if (value.size() - at < 3 || kHexDigits.find(value[at + 1]) == std::string_view::npos ||
        kHexDigits.find(value[at + 2]) == std::string_view::npos)
      return std::nullopt;
    text += char(hex_byte(value[at + 1], value[at + 2]));
    at += 2;
  }
  return text;
}

bool has_control(std::string_view text) {
  for (unsigned char c : text)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

/// The hash in lower-case hexadecimal, from 40 hexadecimal or 32 base32
/// characters.
std::optional<std::string> hash_hex(std::string_view text) {
  if (text.size() == 40 && text.find_first_not_of(kHexDigits) == std::string_view::npos) {
    std::string hex(text);
    for (char& c : hex) c = char(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
    return hex;
  }
  if (text.size() != 32) return std::nullopt;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  uint32_t bits = 0;
  int count = 0;
  for (char c : text) {
    int value = c >= 'A' && c <= 'Z'   ? c - 'A'
                : c >= 'a' && c <= 'z' ? c - 'a'
                : c >= '2' && c <= '7' ? c - '2' + 26
                                       : -1;
    if (value < 0) return std::nullopt;
    bits = (bits << 5) | uint32_t(value);
    count += 5;
    while (count >= 4) {
      count -= 4;
      hex += kHex[(bits >> count) & 15];
    }
  }
  return hex;
}

bool has_scheme(std::string_view url, std::initializer_list<std::string_view> schemes) {
  for (std::string_view scheme : schemes)
    if (url.starts_with(scheme) && url.size() > scheme.size()) return true;
  return false;
}

/// `value` when it is digits alone, at most kSettingLength of them.
bool plain_number(std::string_view value) {
  return !value.empty() && value.size() <= kSettingLength &&
         value.find_first_not_of("0123456789") == std::string_view::npos;
}

bool port_number(std::string_view value) {
  return plain_number(value) && value.size() <= 5 && value[0] != '0' &&
         std::stoul(std::string(value)) <= 65535;
}

bool port_or_range(std::string_view value) {
  size_t dash = value.find('-');
  if (dash == std::string_view::npos) return port_number(value);
  std::string_view low = value.substr(0, dash), high = value.substr(dash + 1);
  return port_number(low) && port_number(high) &&
         std::stoul(std::string(low)) <= std::stoul(std::string(high));
}

bool ratio(std::string_view value) {
  size_t dot = value.find('.');
  if (dot == std::string_view::npos) return plain_number(value);
  return value.size() <= kSettingLength && plain_number(value.substr(0, dot)) &&
         plain_number(value.substr(dot + 1));
}

/// The configured value, checked, or `fallback` when unset.
std::string setting(std::string_view key, const std::string& value, std::string_view fallback,
                    bool (*valid)(std::string_view)) {
  if (value.empty()) return std::string(fallback);
  if (!valid(value)) message_answer("Invalid " + std::string(key) + " in kiv.conf:", value);
  return value;
}

}  // namespace

std::variant<Magnet, std::string> read_magnet(std::string_view uri) {
  if (uri.size() > kMagnetLength)
    return invalid("it is longer than " + std::to_string(kMagnetLength) + " characters.");
  constexpr std::string_view kStart = "magnet:?";
  if (!uri.starts_with(kStart)) return invalid("it must begin with \"magnet:?\".");
  size_t odd = uri.find_first_not_of(std::string(kUriCharacters) + "%");
  if (odd != std::string_view::npos)
    return invalid("character " + std::to_string(odd + 1) + " is not allowed in a link.");

  Magnet magnet;
  int hashes = 0, names = 0, lengths = 0;
  std::string_view rest = uri.substr(kStart.size());
  while (true) {
    size_t end = std::min(rest.find('&'), rest.size());
    std::string_view parameter = rest.substr(0, end);
    size_t equals = parameter.find('=');
    if (equals == std::string_view::npos || equals == 0 || equals + 1 == parameter.size())
      return invalid("each parameter must be a name, \"=\" and a value.");
    std::string_view key = parameter.substr(0, equals);
    std::optional<std::string> value = decoded(parameter.substr(equals + 1));
    if (!value || has_control(*value))
      return invalid("the value of " + std::string(key) + " is not properly encoded.");
    if (key == "xt") {
      std::optional<std::string> hash;
      if (value->starts_with(kHashPrefix)) hash = hash_hex(value->substr(kHashPrefix.size()));
      if (!hash)
        return invalid("xt must be urn:btih: with 40 hexadecimal or 32 base32 characters.");
      magnet.hash = *hash;
      ++hashes;
    } else if (key == "dn") {
      magnet.name = *value;
      ++names;
    } else if (key == "xl") {
      if (value->find_first_not_of("0123456789") != std::string::npos)
        return invalid("xl must be a number of bytes.");
      ++lengths;
    } else if (key == "tr") {
      if (!has_scheme(*value, {"http://", "https://", "udp://"}))
        return invalid("trackers (tr) must be http, https or udp addresses.");
    } else if (key == "ws") {
      if (!has_scheme(*value, {"http://", "https://"}))
        return invalid("web seeds (ws) must be http or https addresses.");
    } else {
      return invalid("the parameter " + std::string(key) + " is not taken.");
    }
    if (end == rest.size()) break;
    rest.remove_prefix(end + 1);
  }
  if (hashes != 1) return invalid("it must hold exactly one xt=urn:btih: parameter.");
  if (names > 1 || lengths > 1) return invalid("dn and xl may be given once each.");
  return magnet;
}

Magnet check_magnet(std::string_view uri) {
  std::variant<Magnet, std::string> read = read_magnet(uri);
  if (const std::string* refusal = std::get_if<std::string>(&read)) message_answer(*refusal, "");
  return std::get<Magnet>(std::move(read));
}

TorrentSettings torrent_settings() {
  const Config& c = config();
  TorrentSettings settings;
  settings.port = setting("bt_port", c.bt_port, kDefaultTorrentPort, port_or_range);
  settings.ratio = setting("seed_ratio", c.seed_ratio, kDefaultSeedRatio, ratio);
  settings.time = setting("seed_time", c.seed_time, kDefaultSeedTime, plain_number);
  if (!c.dht.empty() && c.dht != "on" && c.dht != "off")
    message_answer("Invalid dht in kiv.conf (on or off):", c.dht);
  settings.dht = c.dht != "off";
  return settings;
}

std::string aria2_limits(unsigned long down, unsigned long up) {
  std::string options;
  if (down) options = "--max-download-limit=" + std::to_string(down) + "K";
  if (up) options += std::string(options.empty() ? "" : " ") + "--max-upload-limit=" +
                     std::to_string(up) + "K";
  return options;
}

void check_aria2_limits(std::string_view options) {
  std::string_view rest = options;
  while (!rest.empty()) {
    size_t end = std::min(rest.find(' '), rest.size());
    std::string_view word = rest.substr(0, end);
    rest.remove_prefix(std::min(end + 1, rest.size()));
    constexpr std::string_view kChoice = "--select-file=";
    if (word.starts_with(kChoice) && valid_file_choice(word.substr(kChoice.size()), 0)) continue;
    std::string_view number;
    for (std::string_view option : {"--max-download-limit=", "--max-upload-limit="})
      if (word.starts_with(option)) number = word.substr(option.size());
    if (!number.ends_with('K') || !plain_number(number.substr(0, number.size() - 1)))
      message_answer("Invalid options in the job record:", options);
  }
}

std::string aria2_command_line(const Aria2Start& s) {
  const TorrentSettings& t = s.settings;
  std::string line = s.program +
                     " --no-conf --enable-rpc=false --no-netrc=true --enable-color=false"
                     " --human-readable=false --console-log-level=notice --summary-interval=5"
                     " --dir " + shell_word(s.workdir) +
                     " --allow-overwrite=false --auto-file-renaming=false"
                     " --file-allocation=none"
                     " --listen-port=" + t.port + " --dht-listen-port=" + t.port +
                     " --enable-dht=" + (t.dht ? "true" : "false") + " --enable-dht6=false " +
                     std::string(kAria2JobOption) + " " + shell_word(s.dht_file) +
                     " --seed-ratio=" + t.ratio + " --seed-time=" + t.time;
  line += s.source.starts_with("magnet:") ? " --bt-metadata-only=true --bt-save-metadata=true"
                                           : " --bt-save-metadata=false";
  if (!s.options.empty()) line += " " + s.options;
  return line + " " + shell_word(s.source) + " < /dev/null >> " + shell_word(s.job_log) +
         " 2>&1 & echo -n $!";
}

bool aria2_log_ended(std::string_view tail) {
  size_t results = tail.rfind("\nDownload Results:");
  return results != std::string_view::npos &&
         tail.find("|INPR|", results) == std::string_view::npos;
}

/// `text` as one line of a log: a name from a peer may hold line feeds.
static std::string one_line(std::string_view text) {
  std::string line(text);
  for (char& c : line)
    if ((unsigned char)c < 0x20 || c == 0x7f) c = ' ';
  return line + "\n";
}

std::string magnet_header(time_t when, std::string_view hash, std::string_view name) {
  return one_line("-- " + local_date(when) + " --" + std::string(hash) +
                  (name.empty() ? "" : " " + std::string(name)));
}

std::string refused_line(std::string_view sentence) {
  return one_line(std::string(kRefusedLine) + std::string(sentence));
}

}  // namespace kiv::ctl
