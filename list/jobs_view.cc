#include "list/jobs_view.h"

#include <cstdlib>
#include <string_view>
#include <unistd.h>

#include "common/config.h"
#include "common/dir.h"
#include "common/process.h"
#include "common/quote.h"
#include "common/response.h"
#include "common/shell.h"

namespace kiv::list {

int print_job_list(const std::string& pattern) {
  const std::string& trkdir = config().trkdir;
  out_append(std::string_view(pattern).substr(1));
  out_append(":[");
  dir_pattern = pattern;
  auto names = scan_directory(trkdir, ScanOrder::directory);
  dir_pattern = "";
  if (!names) message_answer("Can't scan tracker directory:\n", trkdir);
  int running = 0;
  for (auto name = names->rbegin(); name != names->rend(); ++name) {
    std::string pid = transfer_pid(*name);
    if (!pid.empty()) ++running;
    if (name != names->rbegin()) out_append(",");
    out_append("{obj:\"");
    out_append(escape_script(*name, '"'));
    out_append("@");
    out_append(pid);
    out_append("\"}");
  }
  out_append("]");
  return running;
}

void print_job_members() {
  const char* amule = getenv("FORM_amule");
  if (amule && std::string_view(amule) == "true" && chdir(config().trkdir.c_str()) == 0)
    run_shell("amulecmd -c \"show dl\" > amule.amu");
  print_job_list(".nfo");
  out_append(",");
  print_job_list(".amu");
  out_append(",");
  int torrents = print_job_list(".tor");
  out_append(",");
  int wgets = print_job_list(".wgt");
  out_append(",");
  out_append("torrents:" + std::to_string(torrents) + ",wgets:" + std::to_string(wgets) + ",");
}

}  // namespace kiv::list
