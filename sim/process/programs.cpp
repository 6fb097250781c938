// Programs of the simulated machine: a Windows command line runs the host
// executable that its program path maps to (or the stand-in for a Windows
// image) as a real child process, which sees the same machine.
#include "sim/process/programs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>

#include "sim/core/current_machine.h"
#include "sim/core/win_codes.h"
#include "sim/files/paths.h"

extern char** environ;

namespace sim {

std::vector<std::string> splitCommandLine(const std::string& line) {
    std::vector<std::string> out;
    size_t i = 0, n = line.size();
    // argv[0]: up to the closing quote, or up to white space; no escapes.
    while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= n) return out;
    std::string first;
    if (line[i] == '"') {
        ++i;
        while (i < n && line[i] != '"') first += line[i++];
        if (i < n) ++i;
    } else {
        while (i < n && line[i] != ' ' && line[i] != '\t') first += line[i++];
    }
    out.push_back(first);
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t')) ++i;
        if (i >= n) break;
        std::string cur;
        bool quoted = false;
        while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '\\') {
                size_t slashes = 0;
                while (i < n && line[i] == '\\') ++slashes, ++i;
                if (i < n && line[i] == '"') {
                    cur.append(slashes / 2, '\\');
                    if (slashes % 2) {
                        cur += '"';
                        ++i;
                    }
                } else {
                    cur.append(slashes, '\\');
                }
                continue;
            }
            if (line[i] == '"') {
                if (quoted && i + 1 < n && line[i + 1] == '"') {
                    cur += '"';
                    i += 2;
                    continue;
                }
                quoted = !quoted;
                ++i;
                continue;
            }
            cur += line[i++];
        }
        out.push_back(cur);
    }
    return out;
}

bool findProgram(const std::string& commandLine, std::string& windowsPath, std::string& hostPath,
                 unsigned long& error) {
    std::vector<std::string> args = splitCommandLine(commandLine);
    if (args.empty() || args[0].empty()) {
        error = ERROR_PATH_NOT_FOUND;
        return false;
    }
    std::string name = args[0];
    size_t slash = name.find_last_of("\\/");
    std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
    if (leaf.find('.') == std::string::npos) name += ".exe";
    std::vector<std::string> candidates;
    bool qualified = name.find_first_of("\\/:") != std::string::npos;
    candidates.push_back(name);
    if (!qualified) candidates.push_back(machine().systemDirectory + "\\" + name);
    error = ERROR_FILE_NOT_FOUND;
    for (const auto& cand : candidates) {
        ResolvedPath r;
        unsigned long e = 0;
        if (!resolve(cand, r, e)) {
            error = e;
            continue;
        }
        if (r.exists && !r.directory) {
            windowsPath = r.windows;
            hostPath = r.host;
            return true;
        }
        error = ERROR_FILE_NOT_FOUND;
    }
    return false;
}

// Whether a host file is a Windows image ("MZ"), such as the copy of a real
// program that a capture brings along.
static bool isWindowsImage(const std::string& hostPath) {
    char head[2] = {0, 0};
    std::ifstream in(hostPath, std::ios::binary);
    return in.read(head, sizeof head) && head[0] == 'M' && head[1] == 'Z';
}

// The program of the machine's program folders that stands in for a Windows
// image of the same file name (compared without regard to case).
static bool standIn(const std::string& windowsPath, std::string& hostPath) {
    std::string leaf = windowsPath.substr(windowsPath.find_last_of('\\') + 1);
    for (const auto& folder : machine().programFolders) {
        std::string found;
        if (DIR* d = ::opendir(folder.c_str())) {
            while (dirent* e = ::readdir(d))
                if (equalNoCase(e->d_name, leaf)) found = folder + "/" + e->d_name;
            ::closedir(d);
        }
        if (!found.empty() && !isWindowsImage(found)) {
            hostPath = found;
            return true;
        }
    }
    return false;
}

pid_t spawnProgram(const std::string& commandLine, const SpawnOptions& options, unsigned long& error) {
    std::string windowsPath, hostPath;
    if (!findProgram(commandLine, windowsPath, hostPath, error)) return -1;
    if (isWindowsImage(hostPath) && !standIn(windowsPath, hostPath)) {
        error = ERROR_BAD_EXE_FORMAT;
        return -1;
    }
    if (::access(hostPath.c_str(), X_OK) != 0) {
        error = ERROR_BAD_EXE_FORMAT;
        return -1;
    }
    std::vector<std::string> args = splitCommandLine(commandLine);
    std::vector<std::string> envText;
    static const char* dropped[] = {"WINSIM_FAIL=", "WINSIM_REPORT=", "WINSIM_SERVICE=", "WINSIM_TRACE=",
                                    "WINSIM_CMDLINE=", "WINSIM_CONTROL=", "WINSIM_ACCOUNT="};
    for (char** e = environ; *e; ++e) {
        bool drop = false;
        for (const char* d : dropped)
            if (std::strncmp(*e, d, std::strlen(d)) == 0) drop = true;
        for (const auto& [k, v] : options.env)
            if (std::strncmp(*e, (k + "=").c_str(), k.size() + 1) == 0) drop = true;
        if (!drop) envText.push_back(*e);
    }
    if (!machineFolder().empty()) envText.push_back("WINSIM_MACHINE=" + machineFolder());
    envText.push_back("WINSIM_CMDLINE=" + commandLine);
    for (const auto& [k, v] : options.env) envText.push_back(k + "=" + v);

    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : envText) envp.push_back(e.data());
    envp.push_back(nullptr);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
    std::fflush(nullptr);
    pid_t pid = ::fork();
    if (pid < 0) {
        ::close(report[0]);
        ::close(report[1]);
        error = ERROR_NOT_ENOUGH_MEMORY;
        return -1;
    }
    if (pid == 0) {
        ::close(report[0]);
        // Standard input comes from the file whenever one is given, whatever
        // the console; a console of its own reads nothing otherwise.
        bool shared = options.console == Console::Shared;
        int e = 0;
        if (!options.inputFile.empty() || !shared) {
            std::string in = options.inputFile.empty() ? "/dev/null" : options.inputFile;
            int fdIn = ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
            if (fdIn < 0 || ::dup2(fdIn, 0) < 0) e = errno;
        }
        if (!e && (!options.outputFile.empty() || !shared)) {
            std::string out = options.outputFile.empty() ? "/dev/null" : options.outputFile;
            int fdOut = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fdOut < 0 || ::dup2(fdOut, 1) < 0 || ::dup2(fdOut, 2) < 0) e = errno;
        }
        // A program file just written may still be open for writing in the
        // child of a fork made meanwhile by another thread of the host (the
        // test programs copy machine folders in threads) until that child
        // execs: execve then fails with ETXTBSY for a moment. Windows knows no
        // such moment, so it is waited out.
        const int TextBusyTries = 50;
        const timespec TextBusyPause = {0, 20 * 1000 * 1000};
        for (int tries = 0; !e; ++tries) {
            ::execve(hostPath.c_str(), argv.data(), envp.data());
            e = errno;
            if (e != ETXTBSY || tries + 1 >= TextBusyTries) break;
            e = 0;
            ::nanosleep(&TextBusyPause, nullptr);
        }
        ssize_t ignored = ::write(report[1], &e, sizeof e);
        (void)ignored;
        ::_exit(127);
    }
    ::close(report[1]);
    int childErrno = 0;
    ssize_t got = ::read(report[0], &childErrno, sizeof childErrno);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof childErrno)) {
        int status;
        ::waitpid(pid, &status, 0);
        error = ERROR_BAD_EXE_FORMAT;
        return -1;
    }
    return pid;
}

unsigned long exitCodeOf(int status) {
    if (WIFEXITED(status)) return static_cast<unsigned long>(WEXITSTATUS(status));
    return STATUS_CONTROL_C_EXIT;  // ended by a signal: as a process ended by Ctrl+C
}

unsigned long waitProgram(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return exitCodeOf(status);
}

}  // namespace sim
