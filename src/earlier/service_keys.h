// Deletion of earlier services' registry keys.
#pragma once

#include "base/result.h"
#include "platform/win_registry.h"

enum KeyTreeOutcome { KeyNotOpened = 0, KeyOpenedNotDeleted = 1, KeyDeleted = 2 };

// Replaces the key's DACL by one that gives the Administrators full control.
Result grantAdministratorsFullControl(HKEY parent, const char* keyName);

// Deletes a service key below the services root with its children and
// grandchildren, after the Administrators' full control of it.
KeyTreeOutcome deleteServiceKeyTree(HKEY servicesRoot, const char* serviceKeyName);

// Deletes the first remote-support service key ("qrvmprem") that opens;
// true when it was deleted.
bool removeRemoteSupportServiceKeys();

// Deletes the restart feature's service keys ("qrvrvosv", "qrvrvoex"); true
// when any of them was deleted.
bool removeRestartFeatureServiceKeys();
