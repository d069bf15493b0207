// The path-inside check on generated trees of folders, files and links
// (links up, out, to themselves, dangling), with names holding ".", ".."
// and doubled or trailing "/", against a model written from its rules: the
// path is walked one component at a time, links expanded in place;
//  - a component over kMaxComponentLength: too long;
//  - an entry acted on itself: "." or ".." last is outside, otherwise its
//    folder is judged;
//  - walked whole: inside when it ends at the root or below it;
//  - more than 40 links on the way: a loop;
//  - a link that leads nowhere: outside;
//  - a name of the path itself missing (or below a file): judged where the
//    walk stopped, unless a ".." follows among the missing names.
#include <fuzzer/FuzzedDataProvider.h>

#include <climits>
#include <deque>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/file.h"
#include "common/inside.h"
#include "fuzz/harness.h"

namespace kiv::fuzz {
namespace {

/// A new empty file.
bool touch(const std::string& path) {
  return UniqueFd(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644)).valid();
}

/// The kernel's limit of links followed in one lookup.
constexpr int kMaxLinks = 40;

std::vector<std::string> components(std::string_view path) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = std::min(path.find('/', at), path.size());
    if (end > at) parts.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  // A "/" at the end asks for a folder, as "/." does.
  if (!path.empty() && path.back() == '/') parts.emplace_back(".");
  return parts;
}

std::string joined(const std::vector<std::string>& parts) {
  std::string path;
  for (const std::string& part : parts) path += "/" + part;
  return path.empty() ? "/" : path;
}

struct Walk {
  std::vector<std::string> at;  // where the walk stands, no links in it
  enum { whole, missing, dangling, loop } end = whole;
  size_t stopped = 0;  // the path's own component where it was missing
};

/// Walks the absolute `path` as the kernel looks it up, every link followed.
Walk walk(std::string_view path) {
  Walk result;
  struct Part {
    std::string name;
    size_t own;  // index in the path itself, or npos inside a link's target
  };
  std::deque<Part> todo;
  std::vector<std::string> own = components(path);
  for (size_t i = 0; i < own.size(); ++i) todo.push_back({own[i], i});
  int links = 0;
  while (!todo.empty()) {
    Part part = todo.front();
    todo.pop_front();
    auto stop = [&](decltype(Walk::end) end) {
      result.end = part.own == std::string::npos ? (end == Walk::loop ? Walk::loop : Walk::dangling)
                                                 : end;
      result.stopped = part.own;
      return result;
    };
    struct stat status;
    if (lstat(joined(result.at).c_str(), &status) != 0 || !S_ISDIR(status.st_mode))
      return stop(Walk::missing);
    if (part.name == ".") continue;
    if (part.name == "..") {
      if (!result.at.empty()) result.at.pop_back();
      continue;
    }
    std::vector<std::string> next = result.at;
    next.push_back(part.name);
    if (lstat(joined(next).c_str(), &status) != 0) return stop(Walk::missing);
    if (!S_ISLNK(status.st_mode)) {
      result.at = std::move(next);
      continue;
    }
    if (++links > kMaxLinks) return stop(Walk::loop);
    char target[PATH_MAX];
    ssize_t length = readlink(joined(next).c_str(), target, sizeof target);
    if (length <= 0) return stop(Walk::dangling);
    std::string_view text(target, size_t(length));
    if (text.front() == '/') result.at.clear();
    std::vector<std::string> expanded = components(text);
    // A link named by the path itself is followed as its own name was; what
    // it expands to is no name of the path.
    for (auto it = expanded.rbegin(); it != expanded.rend(); ++it)
      todo.push_front({*it, std::string::npos});
  }
  return result;
}

Verdict model(const std::string& root, std::string_view relative, Reach reach) {
  for (const std::string& part : components(relative))
    if (part.size() > kMaxComponentLength) return Verdict::too_long;
  Walk top = walk(root);
  if (top.end != Walk::whole) return Verdict::outside;
  std::string path = root + std::string(relative);
  if (reach == Reach::entry && !path.ends_with('/')) {
    std::string last = path.substr(path.rfind('/') + 1);
    if (last == "." || last == "..") return Verdict::outside;
    path.resize(path.rfind('/') + 1);
  }
  Walk walked = walk(path);
  if (walked.end == Walk::loop) return Verdict::loop;
  if (walked.end == Walk::dangling) return Verdict::outside;
  if (walked.end == Walk::missing) {
    std::vector<std::string> parts = components(path);
    for (size_t i = walked.stopped; i < parts.size(); ++i)
      if (parts[i] == "..") return Verdict::outside;
  }
  const std::vector<std::string>& base = top.at;
  if (walked.at.size() < base.size()) return Verdict::outside;
  for (size_t i = 0; i < base.size(); ++i)
    if (walked.at[i] != base[i]) return Verdict::outside;
  return Verdict::inside;
}

const char* verdict_name(Verdict verdict) {
  switch (verdict) {
    case Verdict::inside: return "inside";
    case Verdict::outside: return "outside";
    case Verdict::loop: return "loop";
    case Verdict::too_long: return "too long";
  }
  return "?";
}

}  // namespace
}  // namespace kiv::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kiv;
  using namespace kiv::fuzz;
  FuzzedDataProvider input(data, size);
  static const std::string scratch = scratch_directory();
  empty_directory(scratch);
  const std::string box = scratch + "box/";
  mkdir(box.c_str(), 0755);
  mkdir((box + "out").c_str(), 0755);
  touch(box + "out/f");
  // The download folder itself may be a link, as to a USB disk.
  bool root_link = input.ConsumeBool();
  std::string root = box + (root_link ? "usb/" : "dnl/");
  if (root_link) {
    mkdir((box + "disk").c_str(), 0755);
    symlink("disk", (box + "usb").c_str());
  } else {
    mkdir(root.c_str(), 0755);
  }

  const std::string long_name(kMaxComponentLength + 1, 'n');
  const std::vector<std::string> names = {"a", "b", "c", "..c", "c.."};
  const std::vector<std::string> targets = {
      ".", "..", "../..", "a", "a/b", "b/../..", "../out", "../out/f", box + "out",
      root + "a", box + "dnl/b", "x", "a/.", "c/..", "../usb/c", "f/", "/", "SELF"};
  std::string tree;
  std::vector<std::string> folders = {""};
  int entries = input.ConsumeIntegralInRange(0, 12);
  for (int i = 0; i < entries; ++i) {
    std::string parent = folders[input.ConsumeIntegralInRange<size_t>(0, folders.size() - 1)];
    std::string name = names[input.ConsumeIntegralInRange<size_t>(0, names.size() - 1)];
    std::string path = root + parent + name;
    int kind = input.ConsumeIntegralInRange(0, 2);
    if (kind == 0 && mkdir(path.c_str(), 0755) == 0) {
      folders.push_back(parent + name + "/");
      tree += parent + name + "/ ";
    } else if (kind == 1 && !input.ConsumeBool()) {
      if (touch(path)) tree += parent + name + " ";
    } else {
      std::string target = targets[input.ConsumeIntegralInRange<size_t>(0, targets.size() - 1)];
      if (target == "SELF") target = name;
      if (symlink(target.c_str(), path.c_str()) == 0) tree += parent + name + "->" + target + " ";
    }
  }

  const std::vector<std::string> parts = {"a", "b", "c", ".", "..", "..c", "c..", "x",
                                          "out", "f", long_name};
  std::string relative = input.ConsumeBool() ? "/" : "";
  int count = input.ConsumeIntegralInRange(0, 5);
  for (int i = 0; i < count; ++i) {
    if (i > 0) relative += input.ConsumeBool() ? "/" : "//";
    relative += parts[input.ConsumeIntegralInRange<size_t>(0, parts.size() - 1)];
  }
  if (input.ConsumeBool()) relative += "/";
  Reach reach = input.ConsumeBool() ? Reach::entry : Reach::through;

  Verdict found = judge_path(root, relative, reach);
  Verdict expected = model(root, relative, reach);
  KIV_CHECK(found == expected,
            std::string("judged ") + verdict_name(found) + ", the model says " +
                verdict_name(expected) + "\nroot " + root + "\ntree " + tree + "\npath " +
                relative + (reach == Reach::entry ? " (entry)" : " (through)"));
  return 0;
}
