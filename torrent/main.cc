#include <cstdlib>

#include "common/config.h"
#include "common/origin.h"
#include "common/request.h"
#include "torrent/inspect.h"

int main(int, char** argv) {
  kiv::read_config(argv[0] ? argv[0] : "kiv-torrent", kiv::ConfigMode::plain);
  kiv::refuse_foreign_request();
  kiv::decode_request();
  const char* file = getenv("FORM_file");
  kiv::torrent::inspect_torrent(file ? file : "");
}
