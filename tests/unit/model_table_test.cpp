// The model table: which family code and PCB revision name which model.
#include "firmware/model_table.h"

#include <gtest/gtest.h>

#include <ostream>
#include <utility>

namespace {

struct LookupCase {
    int32_t familyCode;
    int32_t pcbRevision;
    const char* name;    // null: the table does not list the pair
};

void PrintTo(const LookupCase& c, std::ostream* out)
{
    *out << "(" << c.familyCode << ", " << c.pcbRevision << ")";
}

class ModelTableLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ModelTableLookup, GivesTheRowsNameOrNone)
{
    const LookupCase& c = GetParam();
    const char* name = LookupModelName(c.familyCode, c.pcbRevision);
    if (c.name == nullptr)
        EXPECT_EQ(name, nullptr) << name;
    else
        EXPECT_STREQ(name, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    ListedPairs, ModelTableLookup,
    ::testing::Values(LookupCase{68, 10, "VEL2346"}, LookupCase{68, 16, "R9M523"}, LookupCase{68, 1, "RKM2300"},
                      LookupCase{45, 2, "Marlow"}, LookupCase{90, 1, "VEL2300X"}, LookupCase{56, 1, "RK510"},
                      LookupCase{56, 4, "RK2300"}, LookupCase{59, 2, "VEL2300"}, LookupCase{67, 1, "tQN37"},
                      LookupCase{67, 8, "VEL510"}, LookupCase{68, 15, "tQN55W"}));

INSTANTIATE_TEST_SUITE_P(
    UnlistedPairs, ModelTableLookup,
    ::testing::Values(LookupCase{68, 0, nullptr}, LookupCase{68, 17, nullptr}, LookupCase{68, -1, nullptr},
                      LookupCase{90, 2, nullptr}, LookupCase{57, 1, nullptr}, LookupCase{0, 0, nullptr},
                      LookupCase{45, 3, nullptr}, LookupCase{-68, 10, nullptr},
                      // An image field of 0xFFFFFFFF reaches the lookup as -1.
                      LookupCase{68, static_cast<int32_t>(0xFFFFFFFFu), nullptr},
                      // A family code beyond 16 bits whose low half is listed.
                      LookupCase{0x10044, 10, nullptr}));

TEST(ModelTable, SameNameStandsUnderSeveralFamilies)
{
    for (const auto& pair : {std::pair<int, int>{56, 1}, {56, 2}, {67, 4}, {68, 2}})
        EXPECT_STREQ(LookupModelName(pair.first, pair.second), "RK510") << pair.first << "," << pair.second;
}

}  // namespace
