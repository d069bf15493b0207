#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Where a torrent's files lie in its pieces, for the progress of each file.
namespace kiv::torrent {

struct TorrentFile {
  std::string path;  // below the torrent's folder; the name alone for one file
  long long size = 0;
};

struct TorrentLayout {
  std::string name;  // the torrent's own name (its folder, or its one file)
  long long piece_length = 0;
  long long pieces = 0;
  std::vector<TorrentFile> files;     // in piece order
  std::vector<std::string> trackers;  // "announce", then "announce-list", each once
  bool single = false;                // one file, named by `name`, no folder
};

/// Where file `index` of `layout` lands, relative to the folder the tool
/// saves in: below the torrent's own folder, or its one file's name.
std::string landing_path(const TorrentLayout& layout, size_t index);

/// The layout of bencoded torrent data. Ends the request on malformed
/// data; members of the wrong kind are left out.
TorrentLayout read_layout(std::string_view data);

/// The bytes of each file that lie in pieces the bit field `bits` (one
/// bit a piece, the first piece in the highest bit of the first byte, as
/// ctorrent's bit-field file holds it) marks as had; nothing when the
/// field is not exactly one bit a piece long.
std::optional<std::vector<long long>> file_progress(const TorrentLayout& layout,
                                                    std::string_view bits);

}  // namespace kiv::torrent
