// Decoding of run lists, including the damaged ones.
#include <gtest/gtest.h>

#include "browse/NtfsRunList.h"

namespace qm::test {
namespace {

TEST(GetRunList, DecodesAndStopsWhereTheBytesCannotBeTrusted) {
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    std::vector<std::pair<int64_t, uint64_t>> runs;
  } cases[] = {
      {"empty", {}, {}},
      {"one run", {0x21, 0x04, 0x00, 0x10, 0x00}, {{0x1000, 4}}},
      {"one-byte 0xF0 steps 16 clusters back", {0x11, 0x04, 0x20, 0x11, 0x02, 0xF0, 0x00}, {{0x20, 4}, {0x10, 2}}},
      {"sparse run left out, position kept", {0x21, 0x04, 0x00, 0x10, 0x01, 0x08, 0x11, 0x02, 0x05, 0x00}, {{0x1000, 4}, {0x1005, 2}}},
      {"zero offset bytes count as sparse", {0x11, 0x04, 0x00, 0x11, 0x02, 0x30, 0x00}, {{0x30, 2}}},
      {"5-byte length stops", {0x11, 0x04, 0x20, 0x15, 1, 0, 0, 0, 0, 0x05, 0x00}, {{0x20, 4}}},
      {"9-byte offset stops", {0x11, 0x04, 0x20, 0x91, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, {{0x20, 4}}},
      {"15-byte offset stops",
       {0x11, 0x04, 0x20, 0xF1, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, {{0x20, 4}}},
      {"pair past the end stops", {0x11, 0x04, 0x20, 0x31, 0x04, 0x10}, {{0x20, 4}}},
      {"no closing zero", {0x11, 0x04, 0x20}, {{0x20, 4}}},
      {"6-byte offset is signed", {0x61, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, {{-1, 1}}},
      {"7-byte offset is not", {0x71, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, {{0x00FFFFFFFFFFFFFF, 1}}},
      {"8-byte offset", {0x81, 0x01, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}, {{INT64_MIN, 1}}},
      {"4-byte length", {0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0x08, 0x00}, {{8, 0xFFFFFFFF}}},
  };
  for (const auto& c : cases) {
    trunlist runs{{99, 99}};
    ASSERT_TRUE(GetRunList(c.bytes, runs)) << c.what;
    std::vector<std::pair<int64_t, uint64_t>> got;
    for (const TRun& r : runs) got.emplace_back(r.Lcn, r.Clusters);
    EXPECT_EQ(got, c.runs) << c.what;
  }
}

}  // namespace
}  // namespace qm::test
