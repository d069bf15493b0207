#pragma once

#include <string>

// File operations on the download directory, and the download to the browser.
namespace kiv::ctl {

/// "df -k" of the download directory as the message.
void disk_command(const std::string& file, const std::string& para);
/// Packs the entry `file` into "<entry>.tar.gz" beside it, made under a
/// temporary name and never replacing an archive that is there. When tar or
/// gzip fails, nothing is left and their error output is the answer.
void targz_command(const std::string& file, const std::string& para);
/// Removes the file or directory tree `file`.
void rem_command(const std::string& file, const std::string& para);
/// Creates the directory `file`, 0777 masked by the umask.
void mkdir_command(const std::string& file, const std::string& para);
/// Renames `file` to `para` within one file system.
void rename_command(const std::string& file, const std::string& para);
/// Copies `file` to `para` with cp, recursively for a directory; a file is
/// made under a temporary name beside the target. When cp fails, what it
/// made is removed and its error output is the answer.
void copy_command(const std::string& file, const std::string& para);

}  // namespace kiv::ctl
