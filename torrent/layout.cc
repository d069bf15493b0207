#include "torrent/layout.h"

#include <algorithm>

#include "torrent/bencode.h"

namespace kiv::torrent {
namespace {

/// Sha-1 hashes, one a piece.
constexpr long long kHashLength = 20;

void add_tracker(TorrentLayout& layout, std::optional<std::string_view> url) {
  if (url && !url->empty() &&
      std::find(layout.trackers.begin(), layout.trackers.end(), *url) == layout.trackers.end())
    layout.trackers.emplace_back(*url);
}

void read_info(Cursor& cursor, TorrentLayout& layout) {
  std::optional<long long> single;
  for_each_entry(cursor, [&](std::string_view key) {
    if (key == "name") {
      layout.name = take_string(cursor).value_or("");
    } else if (key == "piece length") {
      layout.piece_length = std::max<long long>(take_integer(cursor).value_or(0), 0);
    } else if (key == "pieces") {
      layout.pieces = (long long)take_string(cursor).value_or("").size() / kHashLength;
    } else if (key == "length") {
      single = take_integer(cursor);
    } else if (key == "files") {
      for_each_item(cursor, [&] {
        TorrentFile file;
        for_each_entry(cursor, [&](std::string_view key) {
          if (key == "length") {
            file.size = std::max<long long>(take_integer(cursor).value_or(0), 0);
          } else if (key == "path") {
            for_each_item(cursor, [&] {
              std::optional<std::string_view> piece = take_string(cursor);
              if (!piece) return;
              if (!file.path.empty()) file.path += '/';
              file.path += *piece;
            });
          } else {
            skip_value(cursor);
          }
        });
        layout.files.push_back(std::move(file));
      });
    } else {
      skip_value(cursor);
    }
  });
  if (single && layout.files.empty()) {
    layout.single = true;
    layout.files.push_back({layout.name, std::max<long long>(*single, 0)});
  }
}

}  // namespace

std::string landing_path(const TorrentLayout& layout, size_t index) {
  if (layout.single) return layout.name;
  return layout.name + "/" + layout.files[index].path;
}

TorrentLayout read_layout(std::string_view data) {
  TorrentLayout layout;
  Cursor cursor{data};
  for_each_entry(cursor, [&](std::string_view key) {
    if (key == "info") {
      read_info(cursor, layout);
    } else if (key == "announce") {
      add_tracker(layout, take_string(cursor));
    } else if (key == "announce-list") {
      for_each_item(cursor, [&] { for_each_item(cursor, [&] { add_tracker(layout, take_string(cursor)); }); });
    } else {
      skip_value(cursor);
    }
  });
  return layout;
}

std::optional<std::vector<long long>> file_progress(const TorrentLayout& layout,
                                                    std::string_view bits) {
  if (layout.piece_length <= 0 || (long long)bits.size() != (layout.pieces + 7) / 8)
    return std::nullopt;
  auto had = [&](long long piece) {
    return (static_cast<unsigned char>(bits[size_t(piece / 8)]) >> (7 - piece % 8)) & 1;
  };
  std::vector<long long> done;
  long long offset = 0;
  for (const TorrentFile& file : layout.files) {
    long long bytes = 0, end = offset + file.size;
    for (long long piece = offset / layout.piece_length;
         piece < layout.pieces && piece * layout.piece_length < end; ++piece) {
      long long from = std::max(offset, piece * layout.piece_length);
      long long to = std::min(end, (piece + 1) * layout.piece_length);
      if (had(piece)) bytes += to - from;
    }
    done.push_back(bytes);
    offset = end;
  }
  return done;
}

}  // namespace kiv::torrent
