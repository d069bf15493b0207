#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "common/origin.h"
#include "common/quote.h"

namespace kiv {

/// A decoded field value longer than this is refused. Names and paths have
/// the tighter limit of kMaxNameLength (quote.h), checked where they are read.
inline constexpr size_t kFieldLength = 990;
/// The body is read in chunks of at most this size.
inline constexpr size_t kBodyChunk = 200;
/// A form body longer than this is refused: real forms are a few fields of
/// at most kFieldLength bytes.
inline constexpr long long kMaxBodyLength = 1 << 20;
/// The one field a cookie may carry: the folder the page shows (the upload
/// form and the download link cannot carry it otherwise).
inline constexpr std::string_view kCookieField = "curdir";

/// Sets a FORM_<name> environment variable for each field of the cookie
/// named kCookieField, of QUERY_STRING ("+" is a blank there) and of the
/// body of CONTENT_LENGTH bytes, in that order, later ones overwriting. No
/// other cookie sets anything: cookies are shared with every port of the
/// host. Ends the request with a message answer before setting anything
/// when a field is longer than kFieldLength or malformed, or the body is
/// too long, ends early or holds a zero byte.
void decode_request();

/// What a program does with the request body.
enum class Body {
  form,  // decoded into FORM_ variables by decode_request
  kept,  // left on standard input for the program to read
};

/// The start of every CGI program: reads the configuration, refuses a
/// request from elsewhere, then decodes the request as `body` says.
void start_request(std::string_view program_path, Callers callers, Body body = Body::form);

/// FORM_<field> as decoding set it, nothing when absent. Ends the request
/// with `message` when it is longer than `limit` bytes: taken whole or not
/// at all.
std::optional<std::string> form_field(std::string_view field, size_t limit = kMaxNameLength,
                                      std::string_view message = kNameTooLong);

/// The still encoded value of the first cookie named exactly `name` in the
/// cookie header `header`, if any.
std::optional<std::string> cookie_value(std::string_view header, std::string_view name);

/// Decodes percent escapes in place. False when the text does not decode
/// whole: a "%" without two characters after it, or a decoded zero byte
/// (no environment value can hold it). The text is then what came before.
bool url_decode(std::string& text);

/// The byte value of two hexadecimal digits, either case; other characters
/// give whatever the arithmetic yields.
unsigned char hex_byte(char high, char low);

}  // namespace kiv
