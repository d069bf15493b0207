#pragma once

#include <cstdint>
#include <string>

namespace kiv::list {

/// A byte count as the listing shows it: "1024", "1.0 K", "700.2 M",
/// "1.0 G". Units start above (not at) 1024, 1048576 and 1073741824; the
/// quotient is computed in single precision and rounded half up.
std::string human_size(uint64_t bytes);

/// Appends the members curdir and dnl. Leaves the working directory at the
/// listed path.
void print_download_listing();

/// Appends the member disk for the file system of the download directory.
void print_disk_usage();

}  // namespace kiv::list
