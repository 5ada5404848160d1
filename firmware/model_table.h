// The table of model names: a product is known by its family code and its
// PCB revision.
#pragma once

#include <cstdint>

// The model name for (`familyCode`, `pcbRevision`), or null when the table
// does not list the pair. The first row with the family code decides; a
// revision below 1 or above the row's name count has no name. The text is
// constant and owned by the table. Callers holding 16-bit values widen them
// without sign; 32-bit image fields are passed as they are.
const char* LookupModelName(int32_t familyCode, int32_t pcbRevision);
