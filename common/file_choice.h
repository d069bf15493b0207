#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// The files of a torrent a job fetches, kept among the options of its
// record as its engine takes them: ctorrent's "-n 1,3", aria2c's
// "--select-file=1,3". No choice fetches every file.
namespace kiv {

/// A longer list of file numbers is refused.
inline constexpr size_t kFileChoiceLength = 200;

enum class TorrentEngine { ctorrent, aria2c };

/// The engine of a torrent job's source: aria2c for a magnet link.
TorrentEngine engine_of(std::string_view source);

/// Whether `list` is a choice of files: numbers from 1 without leading
/// zeros, each above the one before, "," between, at most
/// kFileChoiceLength characters, none above `files` unless that is 0
/// (not known yet).
bool valid_file_choice(std::string_view list, size_t files);

/// Whether file `number` (from 1) is among `choice` ("": every file).
bool file_chosen(std::string_view choice, size_t number);

/// The choice `options` hold, "" when none.
std::string file_choice(std::string_view options, TorrentEngine engine);

/// `options` with `choice` in place of any they hold; none for "".
std::string with_file_choice(std::string_view options, std::string_view choice,
                             TorrentEngine engine);

}  // namespace kiv
