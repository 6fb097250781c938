// The message catalogue: 80 texts addressed by number, built in or loaded
// from a language file on the media. The run owns one catalogue and hands it
// to every step that prints or reads a message.
#pragma once

#include <cstddef>

#include "base/result.h"
#include "platform/owned.h"

constexpr int MessageCount = 80;

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

// The built-in English catalogue.
extern const char* const BuiltinMessages[MessageCount];

// The languages that have a file in the media's "\nls\" directory; every
// other system language reads the English one.
enum Language : int { LanguageFrench, LanguageGerman, LanguageSpanish, LanguageJapanese, LanguageEnglish, LanguageCount };

// The language of the system's default language.
Language selectLanguage();

// The catalogue of a run: the built-in one until a language file is loaded.
// A loaded catalogue owns its text block and its array of texts until it is
// released, text block first.
class Catalogue {
public:
    Catalogue() = default;
    Catalogue(Catalogue&& other) noexcept;
    Catalogue& operator=(Catalogue&& other) noexcept;
    Catalogue(const Catalogue&) = delete;
    Catalogue& operator=(const Catalogue&) = delete;

    // Loads the language file of the language from the "\nls\" directory
    // below the media root sourceDir. On failure nothing changes, and the
    // result names the step that failed.
    Result load(const char* sourceDir, Language language);
    // Gives back a loaded catalogue; the built-in one stands after it.
    void release();
    bool loadedFromFile() const { return static_cast<bool>(array_); }

    // Text `number` (a MessageNumber, or any number below MessageCount).
    const char* text(int number) const { return table_[number]; }
    // Prints message `number` with its arguments: the text is the format.
    // The number is an int, which va_start takes without promotion.
    void print(int number, ...) const;
    // Formats message `number` with its arguments into buffer (size bytes,
    // terminator included); a longer text is cut.
    void format(char* buffer, std::size_t size, int number, ...) const;

private:
    const char* const* table_ = BuiltinMessages;
    // Declared in the reverse of the order of their release.
    LocalBlock array_;
    LocalBlock text_;
};
