// Model number to name lookups.
#include "common/aDefs.h"

#include <gtest/gtest.h>

TEST(aDefsTest, ModelNames)
{
    const std::pair<uint32_t, const char*> rows[] = {
        {4, "Tavrin"},   {5, "Gorvel"},   {13, "Pellix"},  {20, "Jaskel1"}, {22, "Jaskel2"},
        {23, "Brinmor1"}, {27, "Dalvine"},
        {0, "Unknown"},  {3, "Unknown"},  {6, "Unknown"},  {12, "Unknown"}, {28, "Unknown"},
        {0xFFFFFFFF, "Unknown"},
    };
    for (const auto& [model, name] : rows)
        EXPECT_STREQ(aDefs_GetModelName(model), name) << model;
}
