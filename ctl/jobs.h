#pragma once

#include <string>

// Transfer jobs: wget and ctorrent in the background, their files in trk/.
namespace kiv::ctl {

void nukeall_command(const std::string& file, const std::string& para);
void del_command(const std::string& file, const std::string& para);
void stop_command(const std::string& file, const std::string& para);
void startdnl_command(const std::string& file, const std::string& para);
void starttor_command(const std::string& file, const std::string& para);
void ctor_command(const std::string& file, const std::string& para);
void wget_command(const std::string& file, const std::string& para);

}  // namespace kiv::ctl
