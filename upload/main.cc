#include "common/request.h"
#include "common/response.h"
#include "programs/programs.h"
#include "upload/receive.h"

int kiv::upload_main(int, char** argv) {
  // The body is the upload itself, read as it arrives.
  start_request(argv[0] ? argv[0] : "kiv-upload", Callers::page, Body::kept);
  upload::receive_upload();
  redirect_answer("/");
}
