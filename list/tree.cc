#include "list/tree.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "common/config.h"
#include "common/dir.h"
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

std::string last_component(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path.substr(path.rfind('/') + 1));
}

}  // namespace

void print_tree(const std::string& directory, const std::string& css_class) {
  const std::string& dnldir = config().dnldir;
  std::string relative = directory.substr(std::min(dnldir.size(), directory.size()));
  // A link back to an ancestor would nest without end: the length stops it.
  refuse_long_name(relative);
  out_append("<li><span class='" + escape_html(css_class) + "' id='" + escape_html(relative) +
             "/'>" + escape_html(last_component(directory)) + "</span>");

  errno = 0;
  std::optional<std::vector<std::string>> subdirectories;
  if (chdir(directory.c_str()) == 0)
    subdirectories = scan_directory(".", ScanOrder::directory, subdir_filter);
  if (!subdirectories)
    message_answer(errno == ENOMEM ? "Insufficient Memory to complete the operation: "
                                   : "Can't scan directory:",
                   directory);
  if (!subdirectories->empty()) {
    out_append("<ul>");
    for (auto name = subdirectories->rbegin(); name != subdirectories->rend(); ++name) {
      print_tree(directory + "/" + *name, css_class);
      if (chdir(directory.c_str()) != 0)
        message_answer("Can't scan directory:", directory);
    }
    out_append("</ul>");
  }
  out_append("</li>");
}

void print_tree_answer() {
  const char* file = getenv("FORM_file");
  std::string css_class = file ? file : "";
  out_append("<ul rel=open id=" + escape_html_unquoted(css_class) + ">");
  print_tree(config().dnldir, css_class);
  out_append("</ul>");
}

}  // namespace kiv::list
