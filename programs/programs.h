#pragma once

// The entry points of the five programs. They are built as one program
// file that picks its part by the name it was started under (programs/
// main.cc), or, with KIV_MULTICALL off, as five files (programs/single.cc).

namespace kiv {

int ctl_main(int argc, char** argv);      // kiv-ctl: commands
int list_main(int argc, char** argv);     // kiv-list: the status view
int torrent_main(int argc, char** argv);  // kiv-torrent: a torrent's contents
int upload_main(int argc, char** argv);   // kiv-upload: one uploaded file
int kivd_main(int argc, char** argv);     // kivd: the daemon

}  // namespace kiv
