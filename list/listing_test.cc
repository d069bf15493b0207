#include "list/listing.h"

#include <gtest/gtest.h>

namespace kiv::list {
namespace {

TEST(HumanSize, ExclusiveThresholdsAndHalfUpRounding) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "0"},
      {1024, "1024"},
      {1025, "1.0 K"},
      {1280, "1.3 K"},  // exactly 1.25: halves go up
      {1536, "1.5 K"},
      {1048576, "1024.0 K"},
      {1048577, "1.0 M"},
      {734214963, "700.2 M"},
      {1073741824, "1024.0 M"},
      {1073741825, "1.0 G"},
      {uint64_t(5) << 32, "20.0 G"},
      // Single precision: the count is rounded to 24 bits before dividing.
      {18446744073709551615ull, "17179869184.0 G"},
  };
  for (auto [bytes, text] : cases) EXPECT_EQ(human_size(bytes), text) << bytes;
}

}  // namespace
}  // namespace kiv::list
