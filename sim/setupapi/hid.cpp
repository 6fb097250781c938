// Device interfaces of the simulated Setup API, which knows the HID class
// alone: one interface per HID device of a set, with its path, and the HID
// library's class GUID and device attributes (of a device that CreateFileA
// opened by that path).
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "platform/win_devices.h"
#include "sim/core/calls.h"
#include "sim/core/device_names.h"
#include "sim/core/handles.h"
#include "sim/core/win_codes.h"
#include "sim/files/file_handles.h"
#include "sim/setupapi/device_sets.h"

using namespace sim;

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA devData, CONST GUID* guid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data) {
    Call c("SetupDiEnumDeviceInterfaces", {arg(h), arg(static_cast<const void*>(devData)), argGuid(guid),
                                           arg(index), data ? arg(data->cbSize) : "null"});
    if (c.injected()) return FALSE;
    DevInfoSet* set = findSet(h);
    if (!set) return FALSE;
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || !guid)
        return fail(!guid ? ERROR_INVALID_PARAMETER : ERROR_INVALID_USER_BUFFER);
    // Interfaces of the HID class, one per HID device of the set.
    std::vector<size_t> members;
    if (sameGuid(*guid, hidGuid())) {
        for (size_t i = 0; i < set->members.size(); ++i) {
            Device* d = memberDevice(*set, i);
            if (d && d->hid.present) members.push_back(i);
        }
    }
    if (index >= members.size()) return fail(ERROR_NO_MORE_ITEMS);
    data->InterfaceClassGuid = *guid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = members[index] + 1;
    return succeeded();
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
        ifData->Reserved > set->members.size())
        return fail(ERROR_INVALID_PARAMETER);
    Device* d = memberDevice(*set, ifData->Reserved - 1);
    if (!d) return fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
    std::string path = hidInterfacePath(*d);
    DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required) *required = need;
    if (!detail) return fail(size == 0 ? ERROR_INSUFFICIENT_BUFFER : ERROR_INVALID_USER_BUFFER);
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) return fail(ERROR_INVALID_USER_BUFFER);
    if (size < need) return fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (devData) {
        if (devData->cbSize != sizeof(SP_DEVINFO_DATA)) return fail(ERROR_INVALID_USER_BUFFER);
        fillDevInfoData(h, ifData->Reserved - 1, *d, devData);
    }
    return succeeded();
}

void WINAPI HidD_GetHidGuid(LPGUID guid) {
    Call c("HidD_GetHidGuid", {});
    if (guid) *guid = hidGuid();
}

BOOLEAN WINAPI HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attrs) {
    Call c("HidD_GetAttributes", {arg(h), attrs ? arg(attrs->Size) : "null"});
    if (c.injected()) return FALSE;
    HandleRec* r = findHandle(reinterpret_cast<uintptr_t>(h), HandleKind::File);
    if (!r || r->value != HidDevice || !attrs) return fail(ERROR_INVALID_HANDLE);
    Device* d = findDevice(r->name);
    if (!d || !d->hid.present) return fail(ERROR_INVALID_HANDLE);
    attrs->VendorID = d->hid.vendorId;
    attrs->ProductID = d->hid.productId;
    attrs->VersionNumber = d->hid.version;
    return TRUE;
}
