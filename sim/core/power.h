// The machine's power: a cut at the n-th platform call of the machine's
// processes, and what its disks hold afterwards.
//
// While a cut is armed, the platform calls of every process of the machine
// are counted together, one process at a time: a program's calls count
// while the program that started it waits for it, so that the same n is the
// same call on every run. At the n-th call the power goes: the process and
// every process of the machine end there, with no cleanup and no exit code.
//
// What the disks keep (docs/winsim.md, "Power cuts"):
// - the file system's metadata is journaled: every file made, emptied,
//   deleted or renamed, every folder and attribute stays as the calls before
//   the cut left it;
// - file data is not journaled. CopyFileA sets the target's size to the
//   source's before it writes, so a copy in progress at the cut keeps the
//   target's full length: a prefix of the source's bytes (`kept` percent)
//   and zeros past what reached the disk;
// - registry changes (and the rest of the machine's state that Windows
//   writes back lazily: devices, services, the event log) reach the disk
//   as they are made, or, with a lazy writer, `lazy` calls after the first
//   change since it last wrote: what it had not written at the cut is lost,
//   and so is the data of files written since (their length stays, their
//   bytes read as zeros).
#pragma once

#include <cstdint>
#include <string>

namespace sim {

struct CutPlan {
    uint64_t atCall = 0;        // the call at which the power goes (1: the first); 0: never (calls are counted)
    unsigned keptPercent = 50;  // of a copy or write in progress, the share that reached the disk
    uint64_t lazyCalls = 0;     // 0: every change reaches the disk as it is made
};

// "N[,lazy=K][,kept=P]", the form of `winsim run --cut` and WINSIM_CUT.
bool parseCutPlan(const std::string& text, CutPlan& plan, std::string& error);

// Arms the power of the machine in a folder for one run: its processes find
// it through WINSIM_POWER (powerEnvironment). Called by winsim, or by the
// first process of a machine that finds WINSIM_CUT in its environment.
bool armPower(const std::string& folder, const CutPlan& plan, std::string& error);
// Joins the power that another process armed (WINSIM_POWER).
bool joinPower(const std::string& sharedFile);
// The value of WINSIM_POWER for the machine's processes; empty when unarmed.
std::string powerEnvironment();
bool powerArmed();
// Whether the power went; the call it went at and the function called.
bool powerWentOut();
uint64_t powerCutCall();
std::string powerCutFunction();
// The platform calls that the machine's processes made since it was armed.
uint64_t machineCalls();
// Ends the armed run (winsim, once its programs have ended): the power's
// files are removed.
void disarmPower();

// ---- for the Call guard and the platform functions -------------------------

// At the start of a platform call: waits for this process's turn, counts the
// call and lets the lazy writer write back. True when the power goes at this
// call. A process of a machine whose power went ends here.
bool powerAtCall(const char* function);
// Whether a call of this function has begun changing the machine when the
// power goes during it (a copy or write: a prefix of its data reached the
// disk), so that it ends the process itself.
bool cutMidCall(const char* function);
// The share of a copy or write in progress that reached the disk, in bytes
// of `size`.
uint64_t bytesKeptOf(uint64_t size);
// The power goes: what the disks keep becomes the machine's state, and every
// process of the machine ends (this one at once).
[[noreturn]] void cutPower(const char* function);
// A process whose machine lost power while it waited ends too.
void endIfPowerWentOut();

// The turn to make platform calls: a process hands it to the child it waits
// for, and takes it back once the child has ended.
void handTurnTo(int pid);
void takeTurnBack();

// A change of the machine's state was written to its folder (commit), or a
// file's data was written (by its host path): the lazy writer has something
// to write back.
void noteMachineChange();
void noteFileData(const std::string& hostPath);
// A file or folder was renamed (journaled): data of it that the lazy writer
// had not written back is still lost, under its new name.
void noteFileMoved(const std::string& fromHost, const std::string& toHost);
// The machine shuts down in order (a restart): everything reaches the disk.
void writeBackAtShutdown();

}  // namespace sim
