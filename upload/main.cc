#include "common/config.h"
#include "common/origin.h"
#include "common/response.h"
#include "upload/receive.h"

int main(int, char** argv) {
  kiv::read_config(argv[0] ? argv[0] : "kiv-upload", kiv::ConfigMode::plain);
  kiv::refuse_foreign_request();
  kiv::upload::receive_upload();
  kiv::message_answer("Location", "/");
}
