// Files of the simulated machine opened through handles (CreateFileA,
// WriteFile), and the HID devices that CreateFileA opens by their interface
// paths.
#pragma once

#include <cstdint>

namespace sim {

// What a handle of the kind File was opened as (its HandleRec::value).
enum FileHandleUse : intptr_t { OpenedToRead = 0, HidDevice = 1, OpenedToWrite = 2 };

}  // namespace sim
