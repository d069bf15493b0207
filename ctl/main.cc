#include "common/config.h"
#include "common/origin.h"
#include "common/request.h"
#include "ctl/commands.h"

int main(int, char** argv) {
  kiv::read_config(argv[0] ? argv[0] : "kiv-ctl", kiv::ConfigMode::plain);
  kiv::refuse_foreign_request();
  kiv::decode_request();
  kiv::ctl::dispatch();
}
