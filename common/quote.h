#pragma once

#include <string>
#include <string_view>

namespace kiv {

/// Names longer than this are refused before they are quoted.
inline constexpr size_t kMaxNameLength = 500;

/// Ends the request with "Filename too long please shorten it: " when
/// `text` is longer than kMaxNameLength.
void refuse_long_name(std::string_view text);

/// The design's refusal of a name or path over its limit.
inline constexpr std::string_view kNameTooLong = "Filename too long please shorten it: ";
/// The refusal of any other request field over its limit.
inline constexpr std::string_view kFieldTooLong = "Request field too long:";
/// A refusal shows at most this many bytes of the refused text.
inline constexpr size_t kShownLength = 60;

/// Ends the request with `message` when `text` is longer than `limit`
/// bytes. The detail names `what`, its length and the limit, then the start
/// of the text (whole characters, at most kShownLength bytes): "file has
/// 612 bytes, at most 500 are taken: aaaa...".
void refuse_longer_than(std::string_view message, std::string_view what,
                        std::string_view text, size_t limit);

/// `text` as one whole word of a shell line, in single quotes (each `'`
/// inside becomes `'\''`: end the quote, a quoted apostrophe, quote again),
/// so nothing in it is expanded, split or ends the word. Refuses long names.
std::string shell_word(std::string_view text);

/// `text` for use between `quote` characters (an apostrophe or a double
/// quote) of a script-object answer that the front end evaluates:
/// backslash, the quote and control characters are escaped (`\n`, `\r`,
/// `\t`, `\xHH`; U+2028/U+2029 as `\u2028`/`\u2029`), so the text can
/// never end its quote. Anything else passes unchanged.
std::string escape_script(std::string_view text, char quote = '\'');

/// `text` for use in HTML text or a quoted attribute: `&`, `<`, `>`, `"`,
/// `'` and the carriage return (which a parser would turn into a line
/// feed) become entities.
std::string escape_html(std::string_view text);

/// `text` for use as an unquoted attribute value: as escape_html, and
/// blanks, `=` and the backquote as numeric entities, so the value cannot
/// end early or start another attribute.
std::string escape_html_unquoted(std::string_view text);

}  // namespace kiv
