// The simulated Setup API's enumeration side: device information sets of
// present devices, their hardware ids, HID interfaces and HID attributes.
#include "sim/setupapi/device_sets.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_map>

#include "platform/win_registry.h"
#include "sim/core/runtime.h"

using namespace sim;

namespace sim {

namespace {
std::map<uintptr_t, DevInfoSet>& sets() {
    static std::map<uintptr_t, DevInfoSet> s;
    return s;
}
}  // namespace

uintptr_t newSet(const DevInfoSet& set) {
    uintptr_t h = newHandle(HandleKind::DevInfo, set.interfaces ? "interfaces" : "devices");
    sets()[h] = set;
    return h;
}

void destroySet(HDEVINFO h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    sets().erase(v);
    closeHandle(v);
}

DevInfoSet* findSet(HDEVINFO h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if (!findHandle(v, HandleKind::DevInfo)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &sets()[v];
}

Device* findDevice(const std::string& instanceId) {
    for (auto& d : machine().devices)
        if (equalNoCase(d.instanceId, instanceId)) return &d;
    return nullptr;
}

// The recorded position holds while the device list is as it was when the
// set was made (or has changed only elsewhere); otherwise the list is
// searched.
Device* memberDevice(const DevInfoSet& set, size_t index) {
    const std::string& instanceId = set.members[index];
    if (index < set.positions.size()) {
        auto& devices = machine().devices;
        size_t at = set.positions[index];
        if (at < devices.size() && equalNoCase(devices[at].instanceId, instanceId)) return &devices[at];
    }
    return findDevice(instanceId);
}

void fillDevInfoData(HDEVINFO h, size_t index, const Device& d, PSP_DEVINFO_DATA data) {
    GUID g{};
    parseGuid(d.classGuid, g);
    data->ClassGuid = g;
    data->DevInst = static_cast<DWORD>(index + 1);
    data->Reserved = reinterpret_cast<ULONG_PTR>(h);
}

Device* deviceOf(HDEVINFO h, PSP_DEVINFO_DATA data) {
    DevInfoSet* set = findSet(h);
    if (!set) return nullptr;
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return nullptr;
    }
    if (data->Reserved != reinterpret_cast<ULONG_PTR>(h) || data->DevInst == 0 ||
        data->DevInst > set->members.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    Device* d = memberDevice(*set, data->DevInst - 1);
    if (!d) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return nullptr;
    }
    return d;
}

std::string hardwareIdProperty(const Device& d) {
    if (d.rawIds) return d.rawHardwareIds;
    if (d.hardwareIds.empty()) return "";
    std::string v;
    for (const auto& id : d.hardwareIds) v += id + std::string(1, '\0');
    return v + std::string(1, '\0');
}

bool parseGuid(const std::string& text, GUID& g) {
    unsigned d1, d2, d3, b[8];
    if (std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]) != 11)
        return false;
    g.Data1 = d1;
    g.Data2 = static_cast<WORD>(d2);
    g.Data3 = static_cast<WORD>(d3);
    for (int i = 0; i < 8; ++i) g.Data4[i] = static_cast<BYTE>(b[i]);
    return true;
}

std::string guidText(const GUID& g) { return argGuid(&g); }

const GUID& hidGuid() {
    static const GUID g = {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
    return g;
}

std::string hidInterfacePath(const Device& d) {
    char head[64];
    std::snprintf(head, sizeof head, "\\\\?\\hid#vid_%04x&pid_%04x#", d.hid.vendorId, d.hid.productId);
    std::string tail;
    for (char c : lower(d.instanceId)) tail += (c == '\\') ? '#' : c;
    return head + tail + "#" + lower(guidText(hidGuid()));
}

}  // namespace sim

HDEVINFO WINAPI SetupDiGetClassDevsA(CONST GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags) {
    Call c("SetupDiGetClassDevsA", {argGuid(classGuid), arg(enumerator), arg(static_cast<const void*>(parent)),
                                    argHex(flags)});
    if (c.injected()) return INVALID_HANDLE_VALUE;
    if (!classGuid && !(flags & DIGCF_ALLCLASSES)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    DevInfoSet set;
    set.interfaces = (flags & DIGCF_DEVICEINTERFACE) != 0;
    // The first device of each instance id, as a search by id finds it.
    std::unordered_map<std::string, size_t> first;
    const auto& devices = machine().devices;
    for (size_t i = 0; i < devices.size(); ++i) {
        const Device& d = devices[i];
        size_t firstAt = first.emplace(upper(d.instanceId), i).first->second;
        if ((flags & DIGCF_PRESENT) && !d.present) continue;
        if (!d.registered) continue;  // a device still being created lives only in its own set
        if (set.interfaces) {
            // Only the HID interface class exists on this machine.
            if (!(flags & DIGCF_ALLCLASSES) && (!classGuid || !sameGuid(*classGuid, hidGuid()))) continue;
            if (!d.hid.present) continue;
        } else if (!(flags & DIGCF_ALLCLASSES)) {
            GUID g{};
            if (!parseGuid(d.classGuid, g) || !sameGuid(g, *classGuid)) continue;
        }
        if (enumerator && *enumerator) {
            std::string prefix = std::string(enumerator) + "\\";
            if (!equalNoCase(d.instanceId.substr(0, prefix.size()), prefix)) continue;
        }
        set.members.push_back(d.instanceId);
        set.positions.push_back(firstAt);
    }
    SetLastError(NO_ERROR);  // a successful Setup API call clears the last error
    return reinterpret_cast<HDEVINFO>(newSet(set));
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO h) {
    Call c("SetupDiDestroyDeviceInfoList", {arg(h)}, false);
    DevInfoSet* set = findSet(h);
    if (!set) return FALSE;
    // Devices created in the set and never registered go with it. Most
    // machines have none, and then no member needs looking for.
    Machine& m = machine();
    size_t before = m.devices.size();
    bool anyUnregistered = false;
    for (const auto& d : m.devices) anyUnregistered = anyUnregistered || !d.registered;
    for (size_t k = 0; anyUnregistered && k < set->members.size(); ++k) {
        const std::string& member = set->members[k];
        for (size_t i = 0; i < m.devices.size(); ++i) {
            if (!m.devices[i].registered && equalNoCase(m.devices[i].instanceId, member)) {
                m.devices.erase(m.devices.begin() + static_cast<long>(i));
                break;
            }
        }
    }
    if (m.devices.size() != before) commit();
    destroySet(h);
    SetLastError(NO_ERROR);  // as Windows does, the release leaves the last error cleared
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO h, DWORD index, PSP_DEVINFO_DATA data) {
    Call c("SetupDiEnumDeviceInfo", {arg(h), arg(index), data ? arg(data->cbSize) : "null"});
    if (c.injected()) return FALSE;
    DevInfoSet* set = findSet(h);
    if (!set) return FALSE;
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (set->interfaces) {
        // A set of interfaces still lists the devices behind them.
    }
    if (index >= set->members.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    Device* d = memberDevice(*set, index);
    if (!d) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    fillDevInfoData(h, index, *d, data);
    SetLastError(NO_ERROR);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyA(HDEVINFO h, PSP_DEVINFO_DATA data, DWORD property,
                                              PDWORD regType, PBYTE buffer, DWORD size, PDWORD required) {
    Call c("SetupDiGetDeviceRegistryPropertyA",
           {arg(h), data ? arg(data->DevInst) : "null", arg(property), arg(static_cast<const void*>(buffer)),
            arg(size)});
    if (c.injected()) return FALSE;
    Device* d = deviceOf(h, data);
    if (!d) return FALSE;
    std::string value;
    DWORD type = REG_SZ;
    switch (property) {
        case SPDRP_HARDWAREID:
            value = hardwareIdProperty(*d);
            type = REG_MULTI_SZ;
            break;
        case SPDRP_COMPATIBLEIDS:
            for (const auto& id : d->compatibleIds) value += id + std::string(1, '\0');
            if (!value.empty()) value += std::string(1, '\0');
            type = REG_MULTI_SZ;
            break;
        case SPDRP_CLASS:
            value = d->className.empty() ? "" : regSz(d->className);
            break;
        case SPDRP_CLASSGUID:
            value = d->classGuid.empty() ? "" : regSz(d->classGuid);
            break;
        case SPDRP_DRIVER:
            value = driverProperty(*d);
            break;
        case SPDRP_DEVICEDESC:
            value = d->description.empty() ? "" : regSz(d->description);
            break;
        default:
            break;
    }
    if (value.empty()) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    if (required) *required = static_cast<DWORD>(value.size());
    if (regType) *regType = type;
    if (!buffer || size < value.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, value.data(), value.size());
    SetLastError(NO_ERROR);
    return TRUE;
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA devData, CONST GUID* guid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
    Call c("SetupDiEnumDeviceInterfaces", {arg(h), arg(static_cast<const void*>(devData)), argGuid(guid),
                                           arg(index), data ? arg(data->cbSize) : "null"});
    if (c.injected()) return FALSE;
    DevInfoSet* set = findSet(h);
    if (!set) return FALSE;
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || !guid) {
        SetLastError(!guid ? ERROR_INVALID_PARAMETER : ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    // Interfaces of the HID class, one per HID device of the set.
    std::vector<size_t> members;
    if (sameGuid(*guid, hidGuid())) {
        for (size_t i = 0; i < set->members.size(); ++i) {
            Device* d = memberDevice(*set, i);
            if (d && d->hid.present) members.push_back(i);
        }
    }
    if (index >= members.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = *guid;
    data->Flags = 1;  // SPINT_ACTIVE
    data->Reserved = members[index] + 1;
    SetLastError(NO_ERROR);
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailA(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA ifData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                             PDWORD required, PSP_DEVINFO_DATA devData) {
    Call c("SetupDiGetDeviceInterfaceDetailA",
           {arg(h), arg(static_cast<const void*>(ifData)), detail ? arg(detail->cbSize) : "null", arg(size)});
    if (c.injected()) return FALSE;
    DevInfoSet* set = findSet(h);
    if (!set) return FALSE;
    if (!ifData || ifData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || ifData->Reserved == 0 ||
        ifData->Reserved > set->members.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Device* d = memberDevice(*set, ifData->Reserved - 1);
    if (!d) {
        SetLastError(ERROR_NO_SUCH_DEVICE_INTERFACE);
        return FALSE;
    }
    std::string path = hidInterfacePath(*d);
    DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required) *required = need;
    if (!detail) {
        SetLastError(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (devData) {
        if (devData->cbSize != sizeof(SP_DEVINFO_DATA)) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        fillDevInfoData(h, ifData->Reserved - 1, *d, devData);
    }
    SetLastError(NO_ERROR);
    return TRUE;
}

void WINAPI HidD_GetHidGuid(LPGUID guid) {
    Call c("HidD_GetHidGuid", {});
    if (guid) *guid = hidGuid();
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attrs) {
    Call c("HidD_GetAttributes", {arg(h), attrs ? arg(attrs->Size) : "null"});
    if (c.injected()) return FALSE;
    HandleRec* r = findHandle(reinterpret_cast<uintptr_t>(h), HandleKind::File);
    if (!r || r->value != 1 || !attrs) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    Device* d = findDevice(r->name);
    if (!d || !d->hid.present) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    attrs->VendorID = d->hid.vendorId;
    attrs->ProductID = d->hid.productId;
    attrs->VersionNumber = d->hid.version;
    return TRUE;
}
