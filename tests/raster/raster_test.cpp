#include "raster_host.h"
#include <gtest/gtest.h>
TEST(Raster, Builds) { EXPECT_EQ(textraster::kCellWidth, 8); }
