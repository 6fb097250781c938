// The message catalogue: 80 texts addressed by number, built in or loaded
// from a language file on the media.
#pragma once

#define MESSAGE_COUNT 80

// Messages this installer prints or reads, by number.
enum MessageNumber {
    MsgAnswerNo = 0,
    MsgAnswerYes = 1,
    MsgAnswerCancel = 2,
    MsgBanner = 8,
    MsgInstallationComplete = 13,
    MsgFileSystemError = 23,
    MsgAdministratorRequired = 27,
    MsgInstallationFailed = 28,
    MsgRebootForDriver = 32,
    MsgPressAnyKey = 33,
    MsgCannotAllocate = 51,
    MsgOlderThan = 52,
    MsgCopyAnyway = 54,
    MsgRegistryWriteError = 56,
    MsgRemovingOldDrivers = 77,
    MsgRemovedOldDrivers = 78,
    MsgInstallingDrivers = 79,
};

// The current catalogue; every message is printed from it by number.
extern const char** messageTable;

// The built-in English catalogue.
extern const char* BuiltinMessages[MESSAGE_COUNT];

// Prints message `index` of the current catalogue with its arguments.
void printMessage(int index, ...);

// Language index 0 to 4 (French, German, Spanish, Japanese, English) from
// the system's default language.
int selectLanguage();

// Loads the language file of the language from the "\nls\" directory below
// the media root sourceDir. 0: *table holds the loaded catalogue; -1:
// nothing loaded and *table unchanged.
int loadCatalogue(const char* sourceDir, const char*** table, int capacity, int language);

// Releases a catalogue that loadCatalogue made.
void releaseCatalogue(const char*** table);
