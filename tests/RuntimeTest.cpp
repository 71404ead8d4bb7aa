#include <gtest/gtest.h>

#include "host/Variant.h"

using namespace qvl;

TEST(Variant, UnassignedAndNullDiffer) {
  EXPECT_TRUE(Variant().IsEmpty());
  EXPECT_TRUE(Variant::Null().IsNull());
  EXPECT_FALSE(Variant() == Variant::Null());
}
