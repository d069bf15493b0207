#pragma once

#include <string>

// File operations on the download directory, and the download to the browser.
namespace kiv::ctl {

void disk_command(const std::string& file, const std::string& para);
void targz_command(const std::string& file, const std::string& para);
void rem_command(const std::string& file, const std::string& para);
void dow_command(const std::string& file, const std::string& para);
void mkdir_command(const std::string& file, const std::string& para);
void rename_command(const std::string& file, const std::string& para);
void copy_command(const std::string& file, const std::string& para);

}  // namespace kiv::ctl
