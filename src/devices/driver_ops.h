// The Plug and Play operations: binding a driver, creating a root device,
// removing a device.
#pragma once

#include "platform/win_devices.h"

// Binds the INF to every present device with the hardware id. 1 on success.
int installDeviceDriver(const char* hardwareId, const char* infPath, BOOL* restartIndication);

// Creates and registers a root-enumerated device with one hardware id in the
// INF's setup class. The set handle is handed back as soon as it exists.
int createRootDevice(const char* hardwareId, const char* infPath, HDEVINFO* deviceSet, SP_DEVINFO_DATA* device);

// Removes the first present device that has the hardware id.
void removeDeviceById(const char* hardwareId);

// How many present devices have the hardware id.
int countPresentDevices(const char* hardwareId);
