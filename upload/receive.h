#pragma once

#include <cstddef>

namespace kiv::upload {

/// The body is read through a window of this size: memory stays the same
/// whatever the size of the file.
inline constexpr size_t kWindowSize = 131072;
/// Longest delimiter ("\r\n--" and the boundary text).
inline constexpr size_t kMaxDelimiter = 1007;
/// Longest file name taken from the part header.
inline constexpr size_t kMaxFileName = 503;

/// Stores the first file part of the multipart/form-data body on standard
/// input in the directory the cookie `curdir` names below the download
/// directory. The file appears under its name only once it is complete; on
/// any failure, or when ended by SIGTERM, SIGHUP, SIGPIPE or SIGINT, nothing
/// is left and the request ends with a message.
void receive_upload();

}  // namespace kiv::upload
