#include "program_common.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/win_files.h"
#include "platform/win_registry.h"
#include "platform/win_services.h"

#ifndef _WIN32
#include "sim/core/runtime.h"
#endif

namespace {
char programPath[520];
char fileName[520];
}  // namespace

#ifdef _WIN32
namespace {

// The program's file name without extension, in capitals ("QRVMPSVC").
void programBaseName(char (&base)[520]) {
    std::snprintf(base, sizeof base, "%s", fileName);
    if (char* dot = std::strrchr(base, '.')) *dot = '\0';
    for (char* p = base; *p; ++p) *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
}

// A file <NAME>.HOLD beside the program makes it wait, at most two minutes,
// until the file is gone: a test can so keep the program's caller busy.
void waitWhileHeld() {
    const int PollMilliseconds = 100;
    const int MostPolls = 1200;
    char base[520];
    programBaseName(base);
    char holdFile[1100];
    size_t folder = std::strlen(programPath) - std::strlen(fileName);
    std::snprintf(holdFile, sizeof holdFile, "%.*s%s.HOLD", static_cast<int>(folder), programPath, base);
    for (int poll = 0; poll < MostPolls && GetFileAttributesA(holdFile) != INVALID_FILE_ATTRIBUTES; ++poll)
        Sleep(PollMilliseconds);
}

}  // namespace
#endif

void programStart(const char* argv0) {
    std::snprintf(programPath, sizeof programPath, "%s", argv0 ? argv0 : "");
    const char* leaf = programPath;
    for (const char* p = programPath; *p; ++p)
        if (*p == '\\' || *p == '/' || *p == ':') leaf = p + 1;
    std::snprintf(fileName, sizeof fileName, "%s", leaf);
#ifdef _WIN32
    waitWhileHeld();
#endif
}

const char* programFileName() { return fileName; }


int chosenExitCode() {
#ifdef _WIN32
    char base[520];
    programBaseName(base);
    char variable[540];
    std::snprintf(variable, sizeof variable, "QRV_EXIT_%s", base);
    if (const char* v = std::getenv(variable)) return std::atoi(v);
    char exitFile[1100];
    size_t folder = std::strlen(programPath) - std::strlen(fileName);
    std::snprintf(exitFile, sizeof exitFile, "%.*s%s.EXIT", static_cast<int>(folder), programPath, base);
    if (FILE* f = std::fopen(exitFile, "r")) {
        int code = 0;
        if (std::fscanf(f, "%d", &code) != 1) code = 0;
        std::fclose(f);
        return code;
    }
    return 0;
#else
    sim::Machine& m = sim::machine();
    auto it = m.programExitCodes.find(fileName);
    return it == m.programExitCodes.end() ? 0 : it->second;
#endif
}

int installService(const char* serviceName, const char* displayName, const char* imageName) {
    char imagePath[800];
    char systemDirectory[520];
    UINT n = GetSystemDirectoryA(systemDirectory, sizeof systemDirectory);
    if (n == 0 || n >= sizeof systemDirectory) {
        std::printf("%s: cannot find the system directory (%lu)\n", fileName, static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    int written = std::snprintf(imagePath, sizeof imagePath, "%s\\%s", systemDirectory, imageName);
    if (written < 0 || static_cast<size_t>(written) >= sizeof imagePath) return 1;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!manager) {
        std::printf("%s: cannot open the service manager (%lu)\n", fileName, static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    SC_HANDLE service = CreateServiceA(manager, serviceName, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, imagePath, nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    int result = 0;
    if (service) {
        std::printf("%s: service %s registered (%s)\n", fileName, serviceName, imagePath);
        CloseServiceHandle(service);
    } else if (GetLastError() == ERROR_SERVICE_EXISTS) {
        std::printf("%s: service %s already registered\n", fileName, serviceName);
    } else {
        std::printf("%s: cannot register service %s (%lu)\n", fileName, serviceName,
                    static_cast<unsigned long>(GetLastError()));
        result = 1;
    }
    CloseServiceHandle(manager);
    return result;
}

int removeService(const char* serviceName) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        std::printf("%s: cannot open the service manager (%lu)\n", fileName, static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    int result = 0;
    SC_HANDLE service = OpenServiceA(manager, serviceName, DELETE);
    if (!service) {
        std::printf("%s: service %s is not registered\n", fileName, serviceName);
    } else {
        if (DeleteService(service)) {
            std::printf("%s: service %s deleted\n", fileName, serviceName);
        } else {
            std::printf("%s: cannot delete service %s (%lu)\n", fileName, serviceName,
                        static_cast<unsigned long>(GetLastError()));
            result = 1;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return result;
}
