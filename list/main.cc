#include "list/status.h"
#include "programs/programs.h"

int kiv::list_main(int, char** argv) {
  list::answer_request(argv[0] ? argv[0] : "kiv-list");
  return 0;
}
