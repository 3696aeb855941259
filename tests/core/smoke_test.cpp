#include <gtest/gtest.h>
#include "averaged_parameters.hpp"
#include "pilora_fast.hpp"
TEST(Smoke, Builds) {
  pilora::PiloraFast<pilora::AveragedParameters> bed(10, 4, 45, 8, false, 0.5f, 0, 0);
  EXPECT_EQ(bed.grid_nx, 20u);
}
