#include "common/request.h"
#include "ctl/commands.h"
#include "programs/programs.h"

int kiv::ctl_main(int, char** argv) {
  start_request(argv[0] ? argv[0] : "kiv-ctl", Callers::any_link);
  ctl::dispatch();
  return 0;
}
