#include "ui/twips.h"

#include <gtest/gtest.h>

namespace {

TEST(Twips, ToPixels) {
  EXPECT_EQ(twips::toPixels(11970), 798);
  EXPECT_EQ(twips::toPixels(5295), 353);
  EXPECT_EQ(twips::toPixels(16), 1);
  EXPECT_EQ(twips::toPixels(22), 1);
  EXPECT_EQ(twips::toPixels(23), 2);
}

}  // namespace
