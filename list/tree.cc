#include "list/tree.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/config.h"
#include "common/dir.h"
#include "common/inside.h"
#include "common/path.h"
#include "common/quote.h"
#include "common/response.h"

namespace kiv::list {
namespace {

/// Selects subdirectories, links to directories included; read by name in
/// the working directory.
int subdir_filter(const struct dirent* entry) {
  std::string_view name = entry->d_name;
  if (name == "." || name == "..") return 0;
  struct stat st;
  return stat(entry->d_name, &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

namespace {

struct DirectoryId {
  dev_t device;
  ino_t inode;
  bool operator==(const DirectoryId&) const = default;
};

[[noreturn]] void scan_failed(const std::string& directory) {
  message_answer(errno == ENOMEM ? "Insufficient Memory to complete the operation: "
                                 : "Can't scan directory:",
                 directory);
}

/// Gone between the parent's scan and this visit (removed, or replaced by
/// a file): such a subdirectory is left out.
bool vanished() { return errno == ENOENT || errno == ENOTDIR; }

/// print_tree with the directories on the way down from the download
/// directory, so that a link back to one of them is not followed.
void print_node(const std::string& directory, const std::string& css_class,
                std::vector<DirectoryId>& ancestors) {
  const std::string& dnldir = config().dnldir;
  std::string relative = directory.substr(std::min(dnldir.size(), directory.size()));
  bool top = ancestors.empty();

  errno = 0;
  struct stat st;
  if (chdir(directory.c_str()) != 0 || stat(".", &st) != 0) {
    if (!top && vanished()) return;
    scan_failed(directory);
  }
  DirectoryId id{st.st_dev, st.st_ino};
  bool repeated = std::find(ancestors.begin(), ancestors.end(), id) != ancestors.end();
  // A link that leads out of the download directory is shown, not entered.
  bool outside = !top && !resolves_inside(dnldir, relative, Reach::through);
  std::optional<std::vector<std::string>> subdirectories;
  if (!repeated && !outside) {
    subdirectories = scan_directory(".", ScanOrder::directory, subdir_filter);
    if (!subdirectories) {
      if (!top && vanished()) return;
      scan_failed(directory);
    }
    // A folder no request could name (its path, without the leading "/",
    // over the limit) is left out; the rest of the tree is answered.
    std::erase_if(*subdirectories, [&relative](const std::string& name) {
      return relative.size() + name.size() > kMaxNameLength;
    });
  }

  out_append("<li><span class='" + escape_html(css_class) + "' id='" + escape_html(relative) +
             "/'>" + escape_html(last_component(directory)) + "</span>");
  // A link back to a directory on the way down is shown, not entered.
  if (subdirectories && !subdirectories->empty()) {
    ancestors.push_back(id);
    out_append("<ul>");
    for (auto name = subdirectories->rbegin(); name != subdirectories->rend(); ++name) {
      print_node(directory + "/" + *name, css_class, ancestors);
      // The next child is reached by its full path; this only matters for
      // the status reads of a scan, so a directory gone meanwhile is fine.
      if (chdir(directory.c_str()) != 0 && !vanished()) scan_failed(directory);
    }
    out_append("</ul>");
    ancestors.pop_back();
  }
  out_append("</li>");
}

}  // namespace

/// Appends the tree node of `directory` (below the download directory) and
/// of all its subdirectories as nested HTML lists; `css_class` is the
/// front end's tree name. Moves the working directory through the tree.
/// A subdirectory that is gone by the time it is visited is left out; a
/// link to a directory already on the way down is shown but not entered.
static void print_tree(const std::string& directory, const std::string& css_class) {
  std::vector<DirectoryId> ancestors;
  print_node(directory, css_class, ancestors);
}

void print_tree_answer() {
  const char* file = getenv("FORM_file");
  std::string css_class = file ? file : "";
  out_append("<ul rel=open id=" + escape_html_unquoted(css_class) + ">");
  print_tree(config().dnldir, css_class);
  out_append("</ul>");
}

}  // namespace kiv::list
