#include "sim/security/access.h"

#include "platform/win_registry.h"
#include "sim/security/token.h"

namespace sim {

namespace {

const uint8_t InheritOnly = 0x08;  // INHERIT_ONLY_ACE

}  // namespace

bool daclGrants(const std::string& owner, bool nullDacl, const std::vector<Ace>& dacl, uint32_t want,
                uint32_t (*mapGeneric)(uint32_t)) {
    if (nullDacl) return true;
    std::vector<std::string> sids = tokenSids();
    auto holds = [&](const std::string& sid) {
        for (const auto& s : sids)
            if (s == sid) return true;
        return false;
    };
    uint32_t granted = 0, denied = 0;
    if (holds(owner)) granted |= READ_CONTROL | WRITE_DAC;
    for (const auto& ace : dacl) {
        if ((ace.flags & InheritOnly) || !holds(ace.sid)) continue;
        uint32_t mask = mapGeneric(ace.mask);
        if (ace.allow) granted |= mask & ~denied;
        else denied |= mask & ~granted;
    }
    return (want & ~granted) == 0;
}

}  // namespace sim
