// The access check of the process's token against an object's owner and
// DACL, as Windows makes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/core/machine.h"

namespace sim {

// Whether the token is granted every right in `want` (specific rights) on
// an object with this owner and DACL: a null DACL grants everything, the
// owner always holds READ_CONTROL and WRITE_DAC, and each entry's mask is
// mapped by `mapGeneric` before it counts. An entry that is only inherited
// by the objects below does not apply.
bool daclGrants(const std::string& owner, bool nullDacl, const std::vector<Ace>& dacl, uint32_t want,
                uint32_t (*mapGeneric)(uint32_t));

}  // namespace sim
