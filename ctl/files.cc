#include "ctl/files.h"

#include "ctl/commands.h"

namespace kiv::ctl {

void disk_command(const std::string&, const std::string&) { not_built("disk"); }
void targz_command(const std::string&, const std::string&) { not_built("targz"); }
void rem_command(const std::string&, const std::string&) { not_built("rem"); }
void dow_command(const std::string&, const std::string&) { not_built("dow"); }
void mkdir_command(const std::string&, const std::string&) { not_built("mkdir"); }
void rename_command(const std::string&, const std::string&) { not_built("rename"); }
void copy_command(const std::string&, const std::string&) { not_built("copy"); }

}  // namespace kiv::ctl
