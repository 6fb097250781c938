// Deletion of earlier services' registry keys.
#pragma once

#include "base/result.h"
#include "platform/win_registry.h"

enum KeyTreeOutcome { KeyNotOpened = 0, KeyOpenedNotDeleted = 1, KeyDeleted = 2 };

// Replaces the key's DACL by one that gives the Administrators full control.
Result grantAdministratorsFullControl(HKEY parent, const char* keyName);
KeyTreeOutcome deleteServiceKeyTree(HKEY servicesRoot, const char* serviceKeyName);
int removeRemoteSupportServiceKeys();
int removeRestartFeatureServiceKeys();
