#include "sim/core/device_names.h"

#include <cstdio>

namespace sim {

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
