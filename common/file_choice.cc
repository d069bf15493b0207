#include "common/file_choice.h"

#include <charconv>
#include <vector>

namespace kiv {
namespace {

constexpr std::string_view kCtorrentOption = "-n";
constexpr std::string_view kAria2Option = "--select-file=";

std::vector<std::string_view> words(std::string_view text) {
  std::vector<std::string_view> list;
  while (!text.empty()) {
    size_t end = std::min(text.find(' '), text.size());
    if (end) list.push_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return list;
}

}  // namespace

TorrentEngine engine_of(std::string_view source) {
  return source.starts_with("magnet:") ? TorrentEngine::aria2c : TorrentEngine::ctorrent;
}

bool valid_file_choice(std::string_view list, size_t files) {
  if (list.empty() || list.size() > kFileChoiceLength) return false;
  size_t last = 0;
  while (true) {
    size_t end = std::min(list.find(','), list.size());
    std::string_view number = list.substr(0, end);
    size_t value = 0;
    auto [end_of_number, error] =
        std::from_chars(number.data(), number.data() + number.size(), value);
    if (number.empty() || number[0] == '0' || error != std::errc() ||
        end_of_number != number.data() + number.size() || value <= last ||
        (files && value > files))
      return false;
    last = value;
    if (end == list.size()) return true;
    list.remove_prefix(end + 1);
  }
}

bool file_chosen(std::string_view choice, size_t number) {
  if (choice.empty()) return true;
  std::string text = "," + std::string(choice) + ",";
  return text.find("," + std::to_string(number) + ",") != std::string::npos;
}

std::string file_choice(std::string_view options, TorrentEngine engine) {
  std::vector<std::string_view> list = words(options);
  std::string choice;
  for (size_t i = 0; i < list.size(); ++i) {
    if (engine == TorrentEngine::ctorrent && list[i] == kCtorrentOption && i + 1 < list.size())
      choice = list[++i];
    else if (engine == TorrentEngine::aria2c && list[i].starts_with(kAria2Option))
      choice = list[i].substr(kAria2Option.size());
  }
  return choice;
}

std::string with_file_choice(std::string_view options, std::string_view choice,
                             TorrentEngine engine) {
  std::vector<std::string_view> list = words(options);
  std::string kept;
  auto add = [&](std::string_view word) { kept += (kept.empty() ? "" : " ") + std::string(word); };
  for (size_t i = 0; i < list.size(); ++i) {
    if (engine == TorrentEngine::ctorrent && list[i] == kCtorrentOption)
      ++i;  // and its list
    else if (!(engine == TorrentEngine::aria2c && list[i].starts_with(kAria2Option)))
      add(list[i]);
  }
  if (!choice.empty())
    add(engine == TorrentEngine::ctorrent ? std::string(kCtorrentOption) + " " + std::string(choice)
                                          : std::string(kAria2Option) + std::string(choice));
  return kept;
}

}  // namespace kiv
