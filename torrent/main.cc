#include <cstdlib>

#include "common/request.h"
#include "programs/programs.h"
#include "torrent/inspect.h"

int kiv::torrent_main(int, char** argv) {
  start_request(argv[0] ? argv[0] : "kiv-torrent", Callers::page);
  const char* file = getenv("FORM_file");
  torrent::inspect_torrent(file ? file : "");
  return 0;
}
