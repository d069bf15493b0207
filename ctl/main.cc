#include "common/config.h"
#include "common/request.h"
#include "ctl/commands.h"

int main(int, char** argv) {
  kiv::read_config(argv[0] ? argv[0] : "kiv-ctl", kiv::ConfigMode::plain);
  kiv::decode_request();
  kiv::ctl::dispatch();
}
