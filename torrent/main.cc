#include <cstdlib>

#include "common/config.h"
#include "common/origin.h"
#include "common/request.h"
#include "programs/programs.h"
#include "torrent/inspect.h"

int kiv::torrent_main(int, char** argv) {
  read_config(argv[0] ? argv[0] : "kiv-torrent", ConfigMode::plain);
  refuse_foreign_request(Callers::page);
  decode_request();
  const char* file = getenv("FORM_file");
  torrent::inspect_torrent(file ? file : "");
  return 0;
}
