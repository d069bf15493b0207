#include "common/config.h"
#include "common/origin.h"
#include "common/request.h"
#include "ctl/commands.h"
#include "programs/programs.h"

int kiv::ctl_main(int, char** argv) {
  read_config(argv[0] ? argv[0] : "kiv-ctl", ConfigMode::plain);
  refuse_foreign_request(Callers::any_link);
  decode_request();
  ctl::dispatch();
  return 0;
}
