#include "list/status.h"

#include <cstdlib>
#include <string_view>

#include "common/config.h"
#include "common/origin.h"
#include "common/request.h"
#include "common/response.h"
#include "list/jobs_view.h"
#include "list/listing.h"
#include "list/tree.h"

namespace kiv::list {

void answer_request(const char* program_path) {
  start_request(program_path, Callers::page);
  out_reset();
  out_headers(HeaderEnd::closed);
  const char* command = getenv("FORM_cmd");
  if (!command) {
    out_append("{");
    if (getenv("FORM_full")) print_job_members();
    // dnl=0: a view without the listing (Transfers) need not wait for
    // thousands of entries it does not show.
    const char* listing = getenv("FORM_dnl");
    if (!listing || std::string_view(listing) != "0") {
      print_download_listing();
      out_append(",");
    }
    print_queue_member();
    print_disk_usage();
    out_append("}");
  } else if (std::string_view(command).find("tree") != std::string_view::npos) {
    print_tree_answer();
  }
  out_flush();
}

}  // namespace kiv::list
