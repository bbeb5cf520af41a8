#include <gtest/gtest.h>
#include "main/process.h"
TEST(Usage, EndsWithDefaultLevel) { EXPECT_NE(std::string(VTR_USAGE_TEXT).find("(INFO)"), std::string::npos); }
