#include "common/config.h"
#include "common/origin.h"
#include "common/response.h"
#include "programs/programs.h"
#include "upload/receive.h"

int kiv::upload_main(int, char** argv) {
  read_config(argv[0] ? argv[0] : "kiv-upload", ConfigMode::plain);
  refuse_foreign_request(Callers::page);
  upload::receive_upload();
  message_answer("Location", "/");
}
