#include "ctl/checks.h"

#include <cerrno>
#include <gtest/gtest.h>

#include "tests/support/child.h"

namespace kiv::ctl {
namespace {

TEST(ErrorName, Table) {
  const std::pair<int, const char*> table[] = {
      {EPERM, "EPERM"},   {ENOENT, "ENOENT"},   {ENOMEM, "ENOMEM"},
      {EACCES, "EACCESS"}, {EFAULT, "EFAULT"},  {EBUSY, "EBUSY"},
      {EEXIST, "ENOTEMPTY OR EEXIST"},         {ENOTEMPTY, "ENOTEMPTY OR EEXIST"},
      {EXDEV, "EXDEV"},   {ENOTDIR, "ENOTDIR"}, {EISDIR, "EISDIR"},
      {EINVAL, "EINVAL"}, {ENOSPC, "ENOSPC"},   {EROFS, "EROFS"},
      {EMLINK, "EMLINK"}, {ENAMETOOLONG, "ENAMETOOLONG"}, {ELOOP, "ELOOP"},
  };
  for (auto [code, name] : table) EXPECT_EQ(error_name(code), name);
  // Outside the table: still a symbolic name.
  EXPECT_EQ(error_name(EIO), "EIO");
  EXPECT_EQ(error_name(EDQUOT), "EDQUOT");
}

std::string body(const testing::ChildResult& result) {
  return result.out.substr(result.out.find("\r\n\n") + 3);
}

TEST(ErrorAnswer, NameAndPath) {
  auto result = testing::run_in_child([] { error_answer(EACCES, "/d/dnl/x"); });
  EXPECT_EQ(body(result), "EACCESS /d/dnl/x");
  EXPECT_EQ(result.exit_code(), 0);
}

}  // namespace
}  // namespace kiv::ctl
