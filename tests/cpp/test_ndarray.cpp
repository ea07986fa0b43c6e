#include <gtest/gtest.h>

#include "ndarray.hpp"

using namespace tarvik;

TEST(NewArray, RowMajorStrides) {
    FloatArray a = new_array(Buffer<double>(24), Shape{4, 2, 3});
    EXPECT_EQ(a.strides, (Shape{6, 3, 1}));
}
