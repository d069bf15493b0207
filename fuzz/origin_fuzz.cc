// The browser edge against a model written from its rules: which Host
// values the box answers to, which requests a browser marks as sent for
// another site's page, and the order of the refusals a program gives
// (Host, sender, page header: whatever the method, which the web server
// checks).
// Input: a flag byte (bit 0: a program that serves only its page; bits
// 1-6: REQUEST_METHOD, HTTP_HOST, HTTP_SEC_FETCH_SITE, HTTP_ORIGIN,
// HTTP_REFERER, HTTP_X_KIV present), then lines: the machine's host name,
// the hosts= list, then the six values in that order.
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "common/config.h"
#include "common/origin.h"
#include "common/response.h"
#include "fuzz/harness.h"

namespace kiv::fuzz {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return out;
}

bool digits(std::string_view text) {
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

/// A dotted quad: four decimal numbers 0..255 without leading zeros.
bool ipv4(std::string_view text) {
  int parts = 0;
  size_t at = 0;
  for (;;) {
    size_t dot = text.find('.', at);
    std::string_view part = text.substr(at, dot == std::string_view::npos ? std::string_view::npos : dot - at);
    if (part.empty() || part.size() > 3 || !digits(part) || (part.size() > 1 && part[0] == '0') ||
        std::stoi(std::string(part)) > 255)
      return false;
    ++parts;
    if (dot == std::string_view::npos) break;
    at = dot + 1;
  }
  return parts == 4;
}

/// Groups of a side of an IPv6 address ("a:b:c"); the last one may be a
/// dotted quad (two groups) when `last` is the address's end.
std::optional<int> ipv6_groups(std::string_view side, bool last) {
  if (side.empty()) return 0;
  int groups = 0;
  size_t at = 0;
  for (;;) {
    size_t colon = side.find(':', at);
    std::string_view group = side.substr(at, colon == std::string_view::npos ? std::string_view::npos : colon - at);
    if (colon == std::string_view::npos && last && group.find('.') != std::string_view::npos) {
      if (!ipv4(group)) return std::nullopt;
      return groups + 2;
    }
    if (group.empty() || group.size() > 4 ||
        group.find_first_not_of("0123456789abcdefABCDEF") != std::string_view::npos)
      return std::nullopt;
    ++groups;
    if (colon == std::string_view::npos) return groups;
    at = colon + 1;
  }
}

/// Eight groups of 1-4 hex digits, or fewer with one "::" standing for at
/// least one zero group; a dotted quad may take the last two.
bool ipv6(std::string_view text) {
  size_t gap = text.find("::");
  if (gap == std::string_view::npos) {
    std::optional<int> groups = ipv6_groups(text, true);
    return groups && *groups == 8;
  }
  if (text.find("::", gap + 1) != std::string_view::npos) return false;
  std::optional<int> head = ipv6_groups(text.substr(0, gap), false);
  std::optional<int> tail = ipv6_groups(text.substr(gap + 2), true);
  return head && tail && *head + *tail <= 7;
}

/// The name of a Host value: host [":" digits], the host a bracketed IPv6
/// address or anything without ":"; lower case, one trailing dot dropped.
/// Empty when the value is not of that form.
std::string name_of(std::string_view host) {
  std::string_view name, rest;
  if (!host.empty() && host[0] == '[') {
    size_t close = host.find(']');
    if (close == std::string_view::npos) return "";
    name = host.substr(0, close + 1);
    rest = host.substr(close + 1);
  } else {
    size_t colon = host.find(':');
    name = host.substr(0, colon);
    rest = colon == std::string_view::npos ? "" : host.substr(colon);
  }
  if (!rest.empty() && (rest[0] != ':' || !digits(rest.substr(1)))) return "";
  std::string out = lower(name);
  if (!out.empty() && out.back() == '.') out.pop_back();
  return out;
}

bool ip_literal(const std::string& name) {
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    return ipv6(std::string_view(name).substr(1, name.size() - 2));
  return ipv4(name);
}

/// The Host rule: IP literals, localhost, the machine's host name (a name,
/// not an address) and its first label, each alone or with a local suffix,
/// and the entries of hosts= (a ":port" after one is no part of the name).
bool host_passes(std::string_view host, std::string_view own, std::string_view listed) {
  std::string name = name_of(host);
  if (name.empty()) return false;
  if (ip_literal(name) || name == "localhost") return true;
  std::string machine = lower(own);
  if (!machine.empty() && machine.back() == '.') machine.pop_back();
  if (!machine.empty() && !ip_literal(machine)) {
    for (const std::string& base : {machine, machine.substr(0, machine.find('.'))})
      for (const char* suffix : {"", ".local", ".lan", ".home", ".home.arpa", ".localdomain"})
        if (!base.empty() && name == base + suffix) return true;
  }
  size_t at = 0;
  for (;;) {
    size_t comma = listed.find(',', at);
    std::string_view entry = listed.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
    if (std::string listed_name = name_of(entry); !listed_name.empty() && listed_name == name) return true;
    if (comma == std::string_view::npos) return false;
    at = comma + 1;
  }
}

/// `host` (a host:port) lower case, without the default port of `scheme`;
/// nothing when it is empty or holds user information (browsers send none).
std::optional<std::string> canonical(std::string_view host, std::string_view scheme) {
  std::string out = lower(host);
  if (out.empty() || out.find('@') != std::string::npos) return std::nullopt;
  std::string_view default_port = scheme == "http" ? ":80" : scheme == "https" ? ":443" : "";
  if (!default_port.empty() && out.size() > default_port.size() && out.ends_with(default_port))
    out.resize(out.size() - default_port.size());
  return out;
}

/// The scheme and host:port of a serialized URL or origin
/// ("scheme://host[:port][/?#...]"); nothing for "null" and the like.
std::optional<std::pair<std::string, std::string>> page_of(std::string_view url) {
  size_t separator = url.find("://");
  if (separator == std::string_view::npos) return std::nullopt;
  std::string scheme = lower(url.substr(0, separator));
  std::string_view rest = url.substr(separator + 3);
  std::optional<std::string> host = canonical(rest.substr(0, rest.find_first_of("/?#")), scheme);
  if (!host) return std::nullopt;
  return std::pair{scheme, *host};
}

/// Sec-Fetch-Site decides when present, else Origin, else Referer: the page
/// behind them must have the Host's host:port.
bool from_elsewhere(const RequestEdge& edge) {
  if (edge.sec_fetch_site) return *edge.sec_fetch_site != "same-origin" && *edge.sec_fetch_site != "none";
  std::optional<std::string_view> page = edge.origin ? edge.origin : edge.referer;
  if (!page) return false;
  auto from = page_of(*page);
  if (!from || !edge.host) return true;
  std::optional<std::string> to = canonical(*edge.host, from->first);
  return !to || from->second != *to;
}

std::string describe(const RequestEdge& edge) {
  auto value = [](std::optional<std::string_view> v) { return v ? "'" + shown(*v) + "'" : "(absent)"; };
  return "Host " + value(edge.host) + "\nSec-Fetch-Site " + value(edge.sec_fetch_site) + "\nOrigin " +
         value(edge.origin) + "\nReferer " + value(edge.referer) + "\n";
}

void set_variable(const char* name, std::optional<std::string_view> value) {
  if (value)
    setenv(name, std::string(*value).c_str(), 1);
  else
    unsetenv(name);
}

}  // namespace
}  // namespace kiv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kiv::fuzz;
  if (size == 0) return 0;
  unsigned flags = data[0];
  // The environment holds no zero bytes.
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  text = text.substr(0, text.find('\0'));
  std::vector<std::string> lines;
  for (size_t at = 0; lines.size() < 8; ) {
    size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(at <= text.size() ? text.substr(at, end - at) : "");
    at = end + 1;
  }
  auto present = [&](int bit, const std::string& line) {
    return flags & (1u << bit) ? std::optional<std::string_view>(line) : std::nullopt;
  };
  // A machine's host name: letters, digits, "-", labels joined by dots.
  std::string own = lines[0];
  if (own.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.") !=
          std::string::npos ||
      own.starts_with('.') || own.ends_with('.') || own.find("..") != std::string::npos)
    own.clear();
  const std::string& listed = lines[1];
  bool page_only = flags & 1;
  std::optional<std::string_view> method = present(1, lines[2]);
  kiv::RequestEdge edge{present(2, lines[3]), present(3, lines[4]), present(4, lines[5]), present(5, lines[6])};
  std::optional<std::string_view> page_header = present(6, lines[7]);

  if (edge.host) {
    std::string expected = name_of(*edge.host), got = kiv::host_name(*edge.host);
    KIV_CHECK(got == expected, "host_name of '" + shown(*edge.host) + "': '" + shown(got) + "', the rule gives '" +
                                   shown(expected) + "'");
    bool passes = host_passes(*edge.host, own, listed);
    KIV_CHECK(kiv::host_allowed(*edge.host, own, listed) == passes,
              std::string(passes ? "refused" : "allowed") + " Host '" + shown(*edge.host) + "' on '" + shown(own) +
                  "' with hosts=" + shown(listed));
  }
  bool elsewhere = from_elsewhere(edge);
  KIV_CHECK(kiv::sent_from_elsewhere(edge) == elsewhere,
            std::string(elsewhere ? "not marked" : "marked") + " as sent from elsewhere:\n" + describe(edge));

  // The whole decision, under the machine's real host name.
  static const std::string machine = [] {
    char name[256] = "";
    if (gethostname(name, sizeof name - 1) != 0) name[0] = '\0';
    return std::string(name);
  }();
  set_variable("REQUEST_METHOD", method);
  set_variable("HTTP_HOST", edge.host);
  set_variable("HTTP_SEC_FETCH_SITE", edge.sec_fetch_site);
  set_variable("HTTP_ORIGIN", edge.origin);
  set_variable("HTTP_REFERER", edge.referer);
  set_variable("HTTP_X_KIV", page_header);
  kiv::config().hosts = listed;
  std::string refusal;
  if (edge.host && !host_passes(*edge.host, machine, listed))
    refusal = "Request refused: unknown host name";
  else if (elsewhere)
    refusal = "Request refused: it was not sent by the box's own page";
  else if (page_only && (!page_header || page_header->empty()))
    refusal = "Request refused: it lacks the request header X-Kiv";

  kiv::out_reset();
  int status = run_request([&] {
    kiv::refuse_foreign_request(page_only ? kiv::Callers::page : kiv::Callers::any_link);
  });
  std::string answer = kiv::out_text();
  // A refusal carries the fixed headers alone (no Access-Control-Allow-*),
  // and what came from the request goes back as text, never as markup.
  std::string headers = std::string(kiv::kHeaderBlock) + "\n";
  KIV_CHECK(refusal.empty() ? status == -1 : status == 0 && answer.starts_with(headers + refusal),
            "expected " + (refusal.empty() ? "no refusal" : refusal) + ", got status " + std::to_string(status) +
                ": " + shown(answer));
  KIV_CHECK(answer.find_first_of("<>") == std::string::npos, shown(answer));

  kiv::out_reset();
  status = run_request(kiv::require_page_header);
  KIV_CHECK((status == -1) == (page_header && !page_header->empty()), "page header check: " + shown(answer));
  return 0;
}
