// Device information sets of the simulated Setup API behind their handles,
// and what the Setup API's functions tell of the devices in them.
#include "sim/setupapi/device_sets.h"

#include <map>

#include "platform/win_registry.h"
#include "sim/core/calls.h"
#include "sim/core/current_machine.h"
#include "sim/core/handles.h"

namespace sim {

const char* const EnumKey = "SYSTEM\\CurrentControlSet\\Enum\\";

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
    if (!findHandle(v, HandleKind::DevInfo)) return fail(ERROR_INVALID_HANDLE, nullptr);
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
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER, nullptr);
    if (data->Reserved != reinterpret_cast<ULONG_PTR>(h) || data->DevInst == 0 ||
        data->DevInst > set->members.size())
        return fail(ERROR_INVALID_PARAMETER, nullptr);
    Device* d = memberDevice(*set, data->DevInst - 1);
    if (!d) return fail(ERROR_NO_SUCH_DEVINST, nullptr);
    return d;
}

std::string hardwareIdProperty(const Device& d) {
    if (d.rawIds) return d.rawHardwareIds;
    if (d.hardwareIds.empty()) return "";
    std::string v;
    for (const auto& id : d.hardwareIds) v += id + std::string(1, '\0');
    return v + std::string(1, '\0');
}

std::string driverProperty(const Device& d) {
    const RegKey* e = findKey(machine(), EnumKey + d.instanceId);
    if (!e) return "";
    auto it = e->values.find("Driver");
    if (it == e->values.end() || it->second.type != REG_SZ || it->second.data.size() <= 1) return "";
    return it->second.data;
}

}  // namespace sim
