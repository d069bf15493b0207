#include "common/path.h"

#include <gtest/gtest.h>

namespace kiv {
namespace {

TEST(Path, ComponentsAsBasenameAndDirname) {
  struct Case {
    std::string_view path, last, directory;
  } cases[] = {
      {"", ".", "."},
      {"/", "/", "/"},
      {"//", "/", "/"},
      {"name", "name", "."},
      {"name/", "name", "."},
      {"/name", "name", "/"},
      {"/dl/folder//", "folder", "/dl"},
      {"/dl//folder", "folder", "/dl"},
      {"a/b/c.tar.gz", "c.tar.gz", "a/b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(last_component(c.path), c.last) << "'" << c.path << "'";
    EXPECT_EQ(directory_part(c.path), c.directory) << "'" << c.path << "'";
  }
}

}  // namespace
}  // namespace kiv
