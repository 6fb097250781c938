// The built-in English catalogue, and the catalogue that a run owns. Texts
// this installer never prints hold their places so that every language file
// numbers its messages the same way.
#include <cstdarg>
#include <cstdio>
#include <utility>

#include "messages/messages.h"

const char* const BuiltinMessages[MessageCount] = {
    /*  0 */ "n",
    /*  1 */ "y",
    /*  2 */ "cancel",
    /*  3 */ "Path or file does not exist %s\n\r",
    /*  4 */ "Create directory? (y,n):\n\r",
    /*  5 */ "File %s was not copied.\n",
    /*  6 */ "Copying %s to %s\n",
    /*  7 */ "aborted\n\r\n\r",
    /*  8 */ "QRV Service Processor server software installation\n\r",
    /*  9 */ "The QRV Service Processor server software will be installed to ",
    /* 10 */ "Do you wish to specify a different path? (y,n): \n\r",
    /* 11 */ "Enter new path or type cancel: \n\r",
    /* 12 */ "Unable to update the AUTOEXEC.NCF file\n\r",
    /* 13 */ "Installation complete\n\r",
    /* 14 */ "Unable to access path %s\n\r",
    /* 15 */ "Unable to find SM.INI file.\n\r",
    /* 16 */ "SMAddress keyword not found or invalid.\n\r",
    /* 17 */ "SMInterrupt keyword not found or invalid.\n\r",
    /* 18 */ "To continue the installation of the QRV Service Processor server\nsoftware, press Enter. Press any other key to quit.\n\n",
    /* 19 */ "The QRV Service Processor server software was not installed.\n\n",
    /* 20 */ "The %s device driver is already running and cannot be stopped.\nTo stop the device driver, shut down its application programs;\nthen try again.\n\n",
    /* 21 */ "The Service Processor DLL file and device driver are installed and started.\n\n",
    /* 22 */ "The installation of the Service Processor DLL file and device driver failed.\n\n",
    /* 23 */ "File system error: %d\n\n",
    /* 24 */ "Device driver service could not be created for %s: %d\n\n",
    /* 25 */ "Device driver could not be opened for %s: %d\n\n",
    /* 26 */ "Device driver could not be started for %s: %d\n\n",
    /* 27 */ "Administrator privileges are required.\n\n",
    /* 28 */ "\nInstallation failed\n",
    /* 29 */ "Unable to update the CONFIG.SYS file.\n\r",
    /* 30 */ "Invalid source path\n\r",
    /* 31 */ "Unknown Boot Drive. \n\r",
    /* 32 */ "Reboot the machine for the device driver to start. \n\r",
    /* 33 */ "Press any key to exit.",
    /* 34 */ "Insufficient number of parameters passed in.\n\nSyntax: SETUP  or  SETUP XXX Y   or  SETUP UPGRADE\nwhere:  no arguments means use the SM.INI file.\n        XXX is the I/O port address in hexadecimal\n        Y  is the interrupt vector in hexadecimal\n        UPGRADE means only copy the driver files.\n",
    /* 35 */ "Upgrade complete.\n",
    /* 36 */ "Upgrade failed.\n",
    /* 37 */ "Installation aborted.\n",
    /* 38 */ "AUTOEXEC.NCF does not contain a valid \"load QRVMPN\" string.\n",
    /* 39 */ "Unable to create directory %s\n",
    /* 40 */ "Editing the AUTOEXEC.NCF file.\n",
    /* 41 */ "Editing the CONFIG.SYS file.\n",
    /* 42 */ "Copy error.\n",
    /* 43 */ "Driver source file %s not found.\n",
    /* 44 */ "Unable to backup the AUTOEXEC.NCF file.\n",
    /* 45 */ "Unable to backup the CONFIG.SYS file.\n",
    /* 46 */ "Unable to open the CONFIG.SYS file.\n",
    /* 47 */ "Unable to read the CONFIG.SYS file.\n",
    /* 48 */ "CONFIG.SYS does not contain a valid \"device=QRVMPO\" string.\n",
    /* 49 */ "%s is a backup of the current AUTOEXEC.NCF file.\n",
    /* 50 */ "%s is a backup of the current CONFIG.SYS file.\n",
    /* 51 */ "Cannot allocate memory.\n",
    /* 52 */ "%s is older than %s.\n",
    /* 53 */ "%s is the same version as %s.\n",
    /* 54 */ "Do you want to copy anyway? (y/n):\n",
    /* 55 */ "This program needs to run in NetWare 4.10 or higher.\n",
    /* 56 */ "Error writing to the registry\n",
    /* 57 */ "Registry does not contain a valid key entry for QRVMPW.SYS.\n",
    /* 58 */ "sys:\\system\\",
    /* 59 */ "qrvmpn.nlm",
    /* 60 */ "\\os2\\",
    /* 61 */ "qrvmpo.sys",
    /* 62 */ "qrvmpo.dll",
    /* 63 */ "qrvmpw.sys",
    /* 64 */ "qrvmpw.dll",
    /* 65 */ "qrvsero.sys",
    /* 66 */ "qrvserw.sys",
    /* 67 */ "aioqrvw.nlm",
    /* 68 */ "The installation of the QRV Service Processor Shared Serial device driver failed.\n\n",
    /* 69 */ "The QRV Service Processor Shared Serial device driver is installed and started.\n\n",
    /* 70 */ "An invalid machine model and type was found.\n",
    /* 71 */ "Failed to start install program.\n",
    /* 72 */ "Hardware machine model and type was not found.\n",
    /* 73 */ "QRV Restivo software installation\n\r",
    /* 74 */ "QRV Restivo software removal\n\r",
    /* 75 */ "Removal complete\n\r",
    /* 76 */ "\nRemoval failed\n",
    /* 77 */ "Removing older version of the device drivers.\n",
    /* 78 */ "Removed the old device drivers. \nReboot the machine to install the new drivers.\n",
    /* 79 */ "Installing drivers for %s.\n",
};

Catalogue::Catalogue(Catalogue&& other) noexcept
    : table_(other.table_), array_(std::move(other.array_)), text_(std::move(other.text_)) {
    other.table_ = BuiltinMessages;
}

Catalogue& Catalogue::operator=(Catalogue&& other) noexcept {
    if (this != &other) {
        release();
        table_ = other.table_;
        array_ = std::move(other.array_);
        text_ = std::move(other.text_);
        other.table_ = BuiltinMessages;
    }
    return *this;
}

void Catalogue::release() {
    text_.reset();
    array_.reset();
    table_ = BuiltinMessages;
}

void Catalogue::print(int number, ...) const {
    va_list args;
    va_start(args, number);
    std::vprintf(text(number), args);
    va_end(args);
    std::fflush(stdout);
}

void Catalogue::format(char* buffer, std::size_t size, int number, ...) const {
    va_list args;
    va_start(args, number);
    std::vsnprintf(buffer, size, text(number), args);
    va_end(args);
}
