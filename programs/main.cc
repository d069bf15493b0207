#include <cstdio>
#include <string_view>

#include "programs/programs.h"

namespace {

struct Part {
  std::string_view name;
  int (*main)(int, char**);
};

// One file instead of five: on a box with a few megabytes of flash the
// shared C and C++ libraries are then stored once.
constexpr Part kParts[] = {{"kiv-ctl", kiv::ctl_main},
                           {"kiv-list", kiv::list_main},
                           {"kiv-torrent", kiv::torrent_main},
                           {"kiv-upload", kiv::upload_main},
                           {"kivd", kiv::kivd_main}};

}  // namespace

int main(int argc, char** argv) {
  std::string_view name = argc > 0 && argv[0] ? argv[0] : "";
  name.remove_prefix(name.rfind('/') + 1);  // npos + 1 == 0
  for (const Part& part : kParts)
    if (name == part.name) return part.main(argc, argv);
  fprintf(stderr,
          "kiv: started as \"%.*s\"; this file runs under the names kiv-ctl, kiv-list, "
          "kiv-torrent, kiv-upload and kivd\n",
          int(name.size()), name.data());
  return 1;
}
