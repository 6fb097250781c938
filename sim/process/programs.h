// Programs of the simulated machine: a Windows command line runs the host
// executable that its program path maps to, as a real child process that
// sees the same machine.
#pragma once

#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace sim {

// Splits a command line as the C runtime does for argv.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

// The program named by the command line's first word, resolved the way
// CreateProcess looks for it (".exe" added when the name has no extension;
// a relative name is looked for in the current directory, then in the
// system directory).
bool findProgram(const std::string& commandLine, std::string& windowsPath, std::string& hostPath,
                 unsigned long& error);

enum class Console { Shared, New, Service };

struct SpawnOptions {
    Console console = Console::Shared;
    std::map<std::string, std::string> env;  // added to the child's environment
    std::string outputFile;                  // New and Service: where the console goes
    std::string inputFile;                   // stdin for New and Service (default /dev/null)
};

// Starts the program; returns its pid, or -1 with a Windows error code.
pid_t spawnProgram(const std::string& commandLine, const SpawnOptions& options, unsigned long& error);

// Waits for a child to end and returns its exit code as Windows reports it.
unsigned long waitProgram(pid_t pid);
// The exit code Windows reports for a child that ended with this wait
// status: its exit status, or that of a process ended by Ctrl+C when a
// signal ended it.
unsigned long exitCodeOf(int status);

}  // namespace sim
