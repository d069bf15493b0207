#include "common/origin.h"

#include <algorithm>
#include <cerrno>
#include <arpa/inet.h>
#include <cstdlib>
#include <unistd.h>

#include "common/config.h"
#include "common/file.h"
#include "common/quote.h"
#include "common/response.h"

namespace kiv {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return out;
}

bool all_digits(std::string_view text) {
  return text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool is_ip_literal(const std::string& name) {
  unsigned char address[16];
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    return inet_pton(AF_INET6, name.substr(1, name.size() - 2).c_str(), address) == 1;
  return inet_pton(AF_INET, name.c_str(), address) == 1;
}

/// "host:port" of a URL or origin, lower case and without the scheme's
/// default port; nothing for "null" or anything without a scheme.
std::optional<std::string> authority(std::string_view url) {
  size_t scheme_end = url.find("://");
  if (scheme_end == std::string_view::npos) return std::nullopt;
  std::string scheme = lower(url.substr(0, scheme_end));
  std::string_view rest = url.substr(scheme_end + 3);
  std::string host = lower(rest.substr(0, rest.find_first_of("/?#")));
  if (host.empty() || host.find('@') != std::string::npos) return std::nullopt;
  if ((scheme == "http" && host.ends_with(":80")) || (scheme == "https" && host.ends_with(":443")))
    host.resize(host.rfind(':'));
  return host;
}

/// Whether the page behind `url` is the box itself, as the browser reached it
/// through `host`.
bool same_host(std::string_view url, std::optional<std::string_view> host) {
  std::optional<std::string> from = authority(url);
  // A Host holding more than host:port would be cut below to a part of it.
  if (!from || !host || host->find_first_of("/?#") != std::string_view::npos) return false;
  // The Host value seen through the same scheme as the page.
  std::string scheme(url.substr(0, url.find("://")));
  std::optional<std::string> to = authority(scheme + "://" + std::string(*host));
  return to && *from == *to;
}

std::optional<std::string_view> header(const char* variable) {
  const char* value = getenv(variable);
  if (!value) return std::nullopt;
  return std::string_view(value);
}

}  // namespace

std::string host_name(std::string_view host) {
  std::string name;
  if (host.starts_with('[')) {
    name = lower(host.substr(0, host.find(']') + 1));  // npos + 1 == 0: none
  } else {
    name = lower(host.substr(0, host.find(':')));
  }
  std::string_view port = host.substr(std::min(name.size(), host.size()));
  if (!port.empty() && (port[0] != ':' || !all_digits(port.substr(1)))) return "";
  if (name.ends_with('.')) name.pop_back();
  return name;
}

std::vector<std::string> box_names(std::string_view own_name, std::string_view allowed) {
  std::vector<std::string> names;
  auto add = [&](std::string name) {
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(std::move(name));
  };
  std::string own = host_name(own_name);
  if (!own.empty() && !is_ip_literal(own)) {
    for (std::string base : {own, own.substr(0, own.find('.'))}) {
      add(base);
      for (std::string_view suffix : kLocalSuffixes) add(base + std::string(suffix));
    }
  }
  size_t at = 0;
  while (at <= allowed.size()) {
    size_t end = std::min(allowed.find(',', at), allowed.size());
    add(host_name(allowed.substr(at, end - at)));
    at = end + 1;
  }
  return names;
}

bool host_allowed(std::string_view host, std::string_view own_name, std::string_view allowed) {
  std::string name = host_name(host);
  if (name.empty()) return false;
  if (is_ip_literal(name) || name == "localhost") return true;
  std::vector<std::string> names = box_names(own_name, allowed);
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool publish_box_names(std::string_view own_name, std::string_view allowed) {
  std::string text;
  for (const std::string& name : box_names(own_name, allowed)) text += name + "\n";
  if (text.size() > kBoxNamesMaxSize) {
    errno = EFBIG;
    return false;
  }
  return replace_file(kBoxNamesPath, text, 0644);
}

std::string own_host_name() {
  char own[256] = "";
  if (gethostname(own, sizeof own - 1) != 0) own[0] = '\0';
  return own;
}

bool sent_from_elsewhere(const RequestEdge& edge) {
  if (edge.sec_fetch_site) return *edge.sec_fetch_site != "same-origin" && *edge.sec_fetch_site != "none";
  if (edge.origin) return !same_host(*edge.origin, edge.host);
  if (edge.referer) return !same_host(*edge.referer, edge.host);
  return false;
}

/// The edge headers of this CGI request (HTTP_HOST and the rest).
static RequestEdge request_edge() {
  return {header("HTTP_HOST"), header("HTTP_SEC_FETCH_SITE"), header("HTTP_ORIGIN"),
          header("HTTP_REFERER")};
}

void require_page_header() {
  // kPageHeader as the web server passes it.
  std::optional<std::string_view> value = header("HTTP_X_KIV");
  if (!value || value->empty())
    message_answer("Request refused: it lacks the request header " + std::string(kPageHeader),
                   "(the box's own page sends it; scripts add -H '" + std::string(kPageHeader) +
                       ": 1')");
}

void refuse_foreign_request(Callers callers) {
  RequestEdge edge = request_edge();
  if (edge.host) {
    if (!host_allowed(*edge.host, own_host_name(), config().hosts)) {
      // The name goes back escaped: the answer is read as a page.
      std::string name = escape_html(host_name(*edge.host));
      if (name.empty()) name = escape_html(*edge.host);
      message_answer("Request refused: unknown host name",
                     name + " (to reach the box by this name, add hosts=" + name +
                         " to kiv.conf in the installation root and start kivd again)");
    }
  }
  if (sent_from_elsewhere(edge))
    message_answer("Request refused: it was not sent by the box's own page", "");
  if (callers == Callers::page) require_page_header();
}

}  // namespace kiv
