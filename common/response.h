#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kiv {

/// The CGI header block, each line ended by "\r\n"; the block itself is
/// closed by a lone "\n" (written by out_headers(HeaderEnd::closed) or message_answer).
inline constexpr std::string_view kHeaderBlock =
    "Content-type: text/html;charset=utf-8\r\n"
    "Pragma: no-cache\r\n"
    "Cache-Control: no-cache,no-store\r\n"
    "Expires: 0\r\n";
/// The lines of kHeaderBlock that keep an answer out of every cache.
inline constexpr std::string_view kNoCacheLines = kHeaderBlock.substr(kHeaderBlock.find("Pragma"));

/// Abandons whatever the response buffer holds.
void out_reset();
enum class HeaderEnd {
  closed,  // the block's closing "\n" follows: the body comes next
  open,    // another header line follows
};
/// Appends the header block, closed or left open for another line.
void out_headers(HeaderEnd end);
void out_append(std::string_view text);
/// Writes the buffer to standard output; the buffer is kept.
void out_flush();
/// Once the buffer holds kSpillLength bytes, writes and empties it. Only for
/// answers that can no longer end in a message: a long listing then need
/// not be held whole (a request has about 2 MiB on a small box).
void out_spill();
inline constexpr size_t kSpillLength = 16384;
/// What the buffer holds now (for tests and for callers that measure it).
const std::string& out_text();

/// Ends the request: headers, then `message`, then the detail (absent:
/// "(NULL)"; empty: nothing; else a blank and the detail). Exits with
/// status 0.
[[noreturn]] void message_answer(std::string_view message,
                                 std::optional<std::string_view> detail);

/// Ends the request with a redirect to `location`. Exits with status 0.
[[noreturn]] void redirect_answer(std::string_view location);

}  // namespace kiv
