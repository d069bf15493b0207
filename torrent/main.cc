#include <cstdlib>

#include "common/request.h"
#include "programs/programs.h"
#include "torrent/detail.h"
#include "torrent/inspect.h"

int kiv::torrent_main(int, char** argv) {
  start_request(argv[0] ? argv[0] : "kiv-torrent", Callers::page);
  // A job's detail, or what a torrent file holds.
  if (const char* job = getenv("FORM_job")) torrent::answer_job_detail(job);
  const char* file = getenv("FORM_file");
  torrent::inspect_torrent(file ? file : "");
  return 0;
}
