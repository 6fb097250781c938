// The Plug and Play operations: binding a driver, creating a root device,
// removing a device.
#pragma once

#include "base/result.h"
#include "messages/messages.h"
#include "platform/owned.h"
#include "platform/win_devices.h"

// Prints the binding's line and binds the INF to every present device with
// the hardware id. Without the INF the binding is still asked for, and fails.
Result installDeviceDriver(const Catalogue& messages, const char* hardwareId, const char* infPath,
                           BOOL* restartIndication);

// Creates and registers a root-enumerated device with one hardware id in the
// INF's setup class. The set goes to deviceSet as soon as it exists, whatever
// follows, so that the caller can remove a device made part way.
Result createRootDevice(const char* hardwareId, const char* infPath, DeviceSet& deviceSet, SP_DEVINFO_DATA* device);

// Removes the first present device that has the hardware id.
void removeDeviceById(const char* hardwareId);

// Removes the present devices that createRootDevice could have made with
// the hardware id and the INF: root-enumerated, of the INF's setup class,
// named as a generated id under the class's name (ROOT\<class>\nnnn), and
// with that one hardware id and no other. They are the temporary root
// devices of a run that ended before it could remove them (the machine lost
// power, the process was killed). Any other device stays.
void removeLeftoverRootDevices(const char* hardwareId, const char* infPath);

// How many present devices have the hardware id.
int countPresentDevices(const char* hardwareId);
