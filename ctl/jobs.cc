#include "ctl/jobs.h"

#include "ctl/commands.h"

namespace kiv::ctl {

void nukeall_command(const std::string&, const std::string&) { not_built("nukeall"); }
void del_command(const std::string&, const std::string&) { not_built("del"); }
void stop_command(const std::string&, const std::string&) { not_built("stop"); }
void startdnl_command(const std::string&, const std::string&) { not_built("startdnl"); }
void starttor_command(const std::string&, const std::string&) { not_built("starttor"); }
void ctor_command(const std::string&, const std::string&) { not_built("ctor"); }
void wget_command(const std::string&, const std::string&) { not_built("wget"); }

}  // namespace kiv::ctl
