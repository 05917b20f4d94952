#include "app/gridextent.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

struct ExtentCase {
  float room;
  std::optional<std::int32_t> extent;
};

void PrintTo(const ExtentCase& c, std::ostream* os) { *os << c.room; }

class GridExtent : public ::testing::TestWithParam<ExtentCase> {};

TEST_P(GridExtent, AppliesOnlyAbove15Twips) {
  EXPECT_EQ(twips::gridExtent(GetParam().room), GetParam().extent);
}

// The width rule's room is the inner width less twice the left edge (30 twips), the height's
// the inner height less the top edge (1710 twips).
INSTANTIATE_TEST_SUITE_P(
    Rooms, GridExtent,
    ::testing::Values(ExtentCase{75.0f - 60.0f, std::nullopt},  // inner width 75: W = 15
                      ExtentCase{76.0f - 60.0f, 16},            // inner width 76: W = 16
                      ExtentCase{1725.0f - 1710.0f, std::nullopt},
                      ExtentCase{1726.0f - 1710.0f, 16},
                      ExtentCase{11970.0f - 60.0f, 11910}, ExtentCase{5295.0f - 1710.0f, 3585},
                      // Halves go to the even neighbour: 15.5 gives 16, 16.5 gives 16 too.
                      ExtentCase{15.5f, 16}, ExtentCase{16.5f, 16}, ExtentCase{17.5f, 18},
                      ExtentCase{15.4f, std::nullopt},
                      // A minimized window reports 0 by 0.
                      ExtentCase{0.0f - 60.0f, std::nullopt}, ExtentCase{-1710.0f, std::nullopt},
                      ExtentCase{3e9f, std::nullopt}));

}  // namespace
