// The security of the simulated registry's keys: read as a self-relative
// descriptor in the Windows binary layout, and set from an absolute or
// self-relative one, each through a handle that holds the rights it needs.
#include <cstring>
#include <string>
#include <vector>

#include "sim/core/current_machine.h"
#include "sim/core/win_codes.h"
#include "sim/registry/registry.h"
#include "sim/security/layout.h"
#include "sim/security/token.h"

using namespace sim;

namespace {

// Group reported for every key: the machine keeps none of its own.
const char* const KeyGroup = "S-1-5-18";

// The rights a handle needs to read or to write the parts of a key's
// security that `info` names.
uint32_t rightsToRead(SECURITY_INFORMATION info) {
    uint32_t needed = 0;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION))
        needed |= READ_CONTROL;
    if (info & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
    return needed;
}

uint32_t rightsToWrite(SECURITY_INFORMATION info) {
    uint32_t needed = 0;
    if (info & DACL_SECURITY_INFORMATION) needed |= WRITE_DAC;
    if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) needed |= WRITE_OWNER;
    if (info & SACL_SECURITY_INFORMATION) needed |= ACCESS_SYSTEM_SECURITY;
    return needed;
}

}  // namespace

LONG WINAPI RegGetKeySecurity(HKEY h, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor, LPDWORD size) {
    RegistryCall c("RegGetKeySecurity", {hkeyArg(h), argHex(info), arg(static_cast<const void*>(descriptor)),
                                         size ? arg(*size) : "null"});
    if (c.injected()) return c.error();
    RegKey* key;
    if (long rc = keyWithAccess(h, rightsToRead(info), key, size != nullptr)) return rc;
    if (!key->securityReadable) return ERROR_ACCESS_DENIED;

    std::vector<BYTE> owner, group, dacl;
    if ((info & OWNER_SECURITY_INFORMATION) && !sidBytes(key->owner, owner)) return ERROR_INVALID_SECURITY_DESCR;
    if ((info & GROUP_SECURITY_INFORMATION) && !sidBytes(KeyGroup, group)) return ERROR_INVALID_SECURITY_DESCR;
    if ((info & DACL_SECURITY_INFORMATION) && !key->nullDacl && !aclOf(key->dacl, dacl))
        return ERROR_INVALID_SECURITY_DESCR;

    std::vector<BYTE> out(SelfRelativeHeaderSize, 0);
    WORD control = SE_SELF_RELATIVE;
    auto append = [&out](const std::vector<BYTE>& part) -> DWORD {
        if (part.empty()) return 0;
        DWORD at = static_cast<DWORD>(out.size());
        out.insert(out.end(), part.begin(), part.end());
        return at;
    };
    writeDword(&out[DescriptorOwnerOffset], append(owner));
    writeDword(&out[DescriptorGroupOffset], append(group));
    writeDword(&out[DescriptorDaclOffset], append(dacl));  // no SACL: its offset stays 0
    if (info & DACL_SECURITY_INFORMATION) control |= SE_DACL_PRESENT;  // a null DACL has offset 0
    out[0] = SECURITY_DESCRIPTOR_REVISION;
    writeWord(&out[DescriptorControlOffset], control);

    if (!descriptor || *size < out.size()) {
        *size = static_cast<DWORD>(out.size());
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(descriptor, out.data(), out.size());
    *size = static_cast<DWORD>(out.size());
    return ERROR_SUCCESS;
}

LONG WINAPI RegSetKeySecurity(HKEY h, SECURITY_INFORMATION info, PSECURITY_DESCRIPTOR descriptor) {
    RegistryCall c("RegSetKeySecurity", {hkeyArg(h), argHex(info), arg(static_cast<const void*>(descriptor))});
    if (c.injected()) return c.error();
    RegKey* key;
    if (long rc = keyWithAccess(h, rightsToWrite(info), key, descriptor != nullptr)) return rc;

    ParsedDescriptor parsed;
    if (!parseDescriptor(descriptor, parsed)) return ERROR_INVALID_SECURITY_DESCR;
    std::string newOwner = key->owner;
    if (info & OWNER_SECURITY_INFORMATION) {
        if (!sidLength(parsed.owner)) return ERROR_INVALID_OWNER;
        newOwner = sidText(parsed.owner);
        // Without restore privileges an owner must be one of the caller's own.
        bool held = false;
        for (const auto& sid : tokenSids()) held = held || sid == newOwner;
        if (!held) return ERROR_INVALID_OWNER;
    }
    bool nullDacl = key->nullDacl;
    std::vector<Ace> dacl = key->dacl;
    if (info & DACL_SECURITY_INFORMATION) {
        // A descriptor without a DACL gives the key a null DACL.
        nullDacl = !(parsed.control & SE_DACL_PRESENT) || !parsed.dacl;
        dacl.clear();
        if (!nullDacl && !aclEntries(parsed.dacl, dacl)) return ERROR_INVALID_ACL;
    }
    key->owner = newOwner;
    key->nullDacl = nullDacl;
    key->dacl = dacl;
    commit();
    return ERROR_SUCCESS;
}
