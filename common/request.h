#pragma once

#include <string>
#include <string_view>

namespace kiv {

/// A request field ("name=value", still encoded) is cut to this length.
inline constexpr size_t kFieldLength = 990;
/// The body is read in chunks of at most this size.
inline constexpr size_t kBodyChunk = 200;
/// A form body longer than this is refused: real forms are a few fields of
/// at most kFieldLength characters.
inline constexpr long long kMaxBodyLength = 1 << 20;

/// Sets a FORM_<name> environment variable for each field of QUERY_STRING
/// ("+" is a blank there), HTTP_COOKIE and the body of CONTENT_LENGTH bytes,
/// in that order, later ones overwriting. A body that is too long or ends
/// early ends the request with a message answer.
void decode_request();

/// Splits `text` at any of `separators` and sets `prefix` + name := decoded
/// value for each token that holds "=". Leading blanks of a token are
/// skipped; a token is cut to kFieldLength characters first.
void set_form_pairs(std::string_view text, std::string_view separators,
                    std::string_view prefix);

/// Decodes percent escapes in place; the text ends at a decoded NUL or at a
/// "%" without two characters after it.
void url_decode(std::string& text);

/// The bytes that the escape at `escape` ("%XY...") stands for: a Latin-1
/// code written with capitals (%A1..%FF) becomes its UTF-8 form, anything
/// else the single byte.
std::string decode_escape(std::string_view escape);

/// The byte value of two hexadecimal digits, either case; other characters
/// give whatever the arithmetic yields.
unsigned char hex_byte(char high, char low);

}  // namespace kiv
