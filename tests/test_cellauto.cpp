#include <gtest/gtest.h>
#include "cellauto.h"
TEST(CellAuto, Builds) { CellAuto w(4, 3); EXPECT_EQ(w.cellCount, 12u); }
