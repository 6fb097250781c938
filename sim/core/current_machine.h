// The machine this process runs in: in memory (unit tests) or in a folder
// (state.json and the drives, every change written back), the account the
// process runs as, and where each drive lives on the host.
#pragma once

#include <mutex>
#include <string>

#include "sim/core/machine.h"

namespace sim {

// In-memory machine: replaces whatever machine the process had.
void useMachine(const Machine& m);
// Folder-backed machine: loads <folder>/state.json; every change is written
// back. Returns false with a message when the folder holds no machine.
bool attachFolder(const std::string& folder, std::string& error);
bool saveFolder(const std::string& folder, const Machine& m, std::string& error);
bool loadFolder(const std::string& folder, Machine& m, std::string& error);
// The machine of this process. A process started without one (and outside
// any unit test) attaches the folder named by WINSIM_MACHINE, or stops with
// a message on standard error.
Machine& machine();
const std::string& machineFolder();  // empty for an in-memory machine
// Whether this process is a program started in a machine folder: it took
// its machine from WINSIM_MACHINE (and its account from WINSIM_ACCOUNT).
bool attachedFromEnvironment();
void commit();   // write the machine back to its folder, if it has one
size_t commitCount();  // how often this process has written its machine back
void reload();   // read it again (after a child process has run)
// The one lock of the process's view of the machine: its state, handles,
// heap blocks and records.
std::recursive_mutex& lock();

// Account of this process: the machine's logged-on account unless
// WINSIM_ACCOUNT or a service start says otherwise (empty: the machine's).
std::string account();
void setProcessAccount(const std::string& acct);
bool isAdministrator();  // administrator or local system

// Host path of a drive letter's root.
std::string driveRoot(char letter);

// The program of this process as Windows names it (its argv[0]).
std::string processName();

}  // namespace sim
