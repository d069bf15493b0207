#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kiv {

/// The local copy of the published version file, in the web directory; its
/// modification time is the timer of the check.
inline constexpr const char* kVersionFile = "version.html";
/// The release notice, in the job directory.
inline constexpr const char* kNoticeFile = "_wversion.nfo";
/// A check runs when the copy is older than this many seconds.
inline constexpr long kCheckInterval = 86400;
/// Longest published version text taken.
inline constexpr size_t kVersionLineLength = 29;
/// The download may write at most this many 512-byte blocks.
inline constexpr int kVersionFileBlocks = 64;

/// The published version in `first_bytes` (the start of the downloaded
/// file): its first line without the line end, or nothing when that is not
/// a plausible version (1 to kVersionLineLength letters, digits and
/// ".-+~_", with a digit among them).
std::optional<std::string> published_version(std::string_view first_bytes);

/// The shell line that downloads "<release_page>/version.html" into the
/// working directory and touches the copy whatever the outcome, so a failed
/// download is tried again a day later.
std::string version_download_command(std::string_view wget, std::string_view release_page);

/// The two HTML lines of the release notice; `published` and the address
/// are escaped for HTML.
std::string release_notice(std::string_view published, std::string_view release_page);

/// At most once a day (while version.html in the web directory exists and is
/// older than kCheckInterval) downloads the published version file and,
/// when it names a version other than ours, writes the release notice.
/// Changes the working directory to the web directory.
void check_version(std::string_view release_page);

}  // namespace kiv
