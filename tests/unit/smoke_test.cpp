#include <gtest/gtest.h>

#include "win32/api.h"

TEST(Seam, EveryCoreEntryIsBound) {
    EXPECT_NE(Api().GetModuleFileNameA, nullptr);
    EXPECT_NE(Api().CreateFileA, nullptr);
}
