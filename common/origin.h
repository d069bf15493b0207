#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The browser edge: a request that another site made the user's browser
// send, or that reaches the box under a name that is not its own (DNS
// rebinding), is refused before anything is read or changed.
namespace kiv {

/// Suffixes of the local network under which the box's own host name is
/// accepted too ("box.lan", "box.home.arpa").
inline constexpr std::string_view kLocalSuffixes[] = {".local", ".lan", ".home", ".home.arpa",
                                                     ".localdomain"};

/// The headers of a request that tell where it comes from; absent when the
/// request did not carry them.
struct RequestEdge {
  std::optional<std::string_view> host;             // Host
  std::optional<std::string_view> sec_fetch_site;   // Sec-Fetch-Site
  std::optional<std::string_view> origin;           // Origin
  std::optional<std::string_view> referer;          // Referer
};

/// The name part of a Host value ("Name.:8080" gives "name", "[::1]:80"
/// gives "[::1]"): lower case, without the port and a trailing dot.
std::string host_name(std::string_view host);

/// The names the box answers to besides IP literals and "localhost": its
/// own name `own_name` (or its first label) alone or with a local suffix,
/// and the names of `allowed` (comma-separated), each as host_name gives it.
std::vector<std::string> box_names(std::string_view own_name, std::string_view allowed);

/// Whether a request with this Host value may be served: IP literals,
/// "localhost" and box_names pass; any other name is refused.
bool host_allowed(std::string_view host, std::string_view own_name, std::string_view allowed);

/// Where kivd publishes box_names of this machine and configuration, one a
/// line, for the web server, which only looks them up.
inline constexpr const char* kBoxNamesPath = "/tmp/kiv-names";

/// The names file holds at most this many bytes (a full host list and the
/// own names take half of it): kivd writes no longer one, and the web
/// server, which reads it for every request, takes a longer one, written
/// by someone else, for no names at all. The number is the web server's
/// (scripts/webserver.lua's names_max), given by the build.
inline constexpr size_t kBoxNamesMaxSize = KIV_BOX_NAMES_MAX_SIZE;

/// Writes box_names to kBoxNamesPath atomically (mode 0644); false when
/// that failed (EFBIG: longer than kBoxNamesMaxSize).
bool publish_box_names(std::string_view own_name, std::string_view allowed);

/// This machine's host name; "" when it has none.
std::string own_host_name();

/// Whether a browser marks the request as sent by a page of another site:
/// Sec-Fetch-Site when present, else Origin, else Referer decides, each
/// compared with Host. A request with none of them passes here; what keeps
/// other pages out then is the page header (require_page_header).
bool sent_from_elsewhere(const RequestEdge& edge);

/// The request header that only the box's own page and tools send: it is
/// outside the CORS safelist, so another site's page can send it only with
/// the box's consent, which no answer ever gives.
inline constexpr std::string_view kPageHeader = "X-Kiv";

/// Which requests a program serves.
enum class Callers {
  page,       // only requests that carry kPageHeader
  any_link,   // plain links too; the program checks the header itself
};

/// Ends the request with a message answer when its Host is not the box's
/// own, it was sent from elsewhere or, for Callers::page, it lacks the page
/// header (which a CORS preflight never carries). Called by every CGI
/// program right after reading the configuration, before the request is
/// read further. (Methods other than GET and POST never reach a program:
/// the web server refuses them, scripts/webserver.lua.)
void refuse_foreign_request(Callers callers);

/// Ends the request with a message answer naming kPageHeader unless the
/// request carries it with a value.
void require_page_header();

}  // namespace kiv
