// The model table and its lookup.
#include "firmware/model_table.h"

namespace {

struct ModelRow {
    int32_t familyCode;
    int32_t nameCount;
    const char* const* names;    // names[r - 1] is PCB revision r
};

constexpr const char* kFamily45[] = {"Marlow", "Marlow"};
constexpr const char* kFamily56[] = {"RK510", "RK510", "RKM510", "RK2300"};
constexpr const char* kFamily59[] = {"VEL2300", "VEL2300"};
constexpr const char* kFamily67[] = {"tQN37", "RKM307", "RKM510", "RK510",
                                     "RK2300", "R9J510", "R9M510", "VEL510"};
constexpr const char* kFamily68[] = {"RKM2300", "RK510",   "RK2300",  "RKM2346", "tQN55",   "tQN2323",
                                     "VEL4600", "RKM523",  "VEL4658", "VEL2346", "VSS2300", "VSZ2300",
                                     "R9J510",  "VEL4673", "tQN55W",  "R9M523"};
constexpr const char* kFamily90[] = {"VEL2300X"};

template <int N>
constexpr ModelRow Row(int32_t familyCode, const char* const (&names)[N])
{
    return ModelRow{familyCode, N, names};
}

// Every product the program knows: family code, and the model name of each
// PCB revision from 1 up. Family codes are unique.
constexpr ModelRow kModelTable[] = {
    Row(45, kFamily45), Row(56, kFamily56), Row(59, kFamily59),
    Row(67, kFamily67), Row(68, kFamily68), Row(90, kFamily90),
};

}  // namespace

const char* LookupModelName(int32_t familyCode, int32_t pcbRevision)
{
    for (const ModelRow& row : kModelTable) {
        if (row.familyCode != familyCode)
            continue;
        if (pcbRevision < 1 || pcbRevision > row.nameCount)
            return nullptr;
        return row.names[pcbRevision - 1];
    }
    return nullptr;
}
