// Security identifiers, access control lists and descriptors in their
// binary Windows layouts, as sim/security.cpp reads and writes them.
#pragma once

#include <string>

#include "platform/win_registry.h"

namespace sim {

std::string sidTextOf(const void* sid);     // "S-1-5-32-544"
DWORD sidLengthOf(const void* sid);         // 0 for a malformed SID
bool aclValid(const void* acl);             // header and entries well formed
// Control word, owner and DACL of an absolute or self-relative descriptor;
// false for an unknown revision.
bool descriptorParts(const void* descriptor, WORD& control, const BYTE*& owner, const BYTE*& dacl);

}  // namespace sim
