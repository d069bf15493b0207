#include "common/end.h"

#include <cstdlib>

namespace kiv {
namespace {

ProcessEnd installed = nullptr;

}  // namespace

void end_process(int status) {
  if (installed) installed(status);
  std::exit(status);  // also when an installed end returned after all
}

void set_process_end(ProcessEnd end) { installed = end; }

}  // namespace kiv
