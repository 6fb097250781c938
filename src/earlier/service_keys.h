// Deletion of earlier services' registry keys.
#pragma once

#include "platform/win_registry.h"

enum KeyTreeOutcome { KeyNotOpened = 0, KeyOpenedNotDeleted = 1, KeyDeleted = 2 };

// 0 when the key's DACL was replaced by one that gives the Administrators
// full control, 1 on any failure.
int grantAdministratorsFullControl(HKEY parent, const char* keyName);
KeyTreeOutcome deleteServiceKeyTree(HKEY servicesRoot, const char* serviceKeyName);
int removeRemoteSupportServiceKeys();
int removeRestartFeatureServiceKeys();
