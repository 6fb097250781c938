// The outcome rules: whether what a run of the installer said (its exit
// code, its final text) agrees with the state it left the machine in, and
// when a machine has settled. The scenario tests (the outcome oracle, the
// fault sweep) and `winsim fleet` judge by these same rules.
//
//   exit 0  every present device of the family has its driver from the
//           staged INF files, no second phase is scheduled, no restart is
//           pending; the console ends with "Installation complete";
//   exit 1  a second phase is scheduled or a restart is pending; the console
//           ends with the reboot message (or is empty: a start from a
//           console while the second phase is pending);
//   exit 2, 8  the console ends with "Installation failed";
//   any run that prints a reboot message leaves a second phase scheduled or
//   a restart pending.
//
// The road of a machine with the USB management device (a run without
// /H): the installer's work there is the earlier software alone, and the
// family's Plug and Play devices are not its to bind. On that road exit 0
// says that nothing is scheduled or pending and that those devices kept the
// drivers they had before the run; it does not say that they have the
// staged ones.
//
// A second phase is scheduled when the service mpsetup is known to the
// service control manager, starts automatically and runs the staged
// SETUP.EXE, or when a RunOnce value runs the staged SETUP.EXE with -R. A
// restart is pending when a reboot was requested, a binding asked for one
// since the last start, a service is marked for deletion, or the service
// control manager's database differs from the services in the registry (a
// service key deleted behind its back is gone only after a restart).
//
// A machine has settled when no second phase is scheduled, no restart is
// pending and every present device of the family has what the run owes it
// (its driver from the staging tree; on the USB management device's road,
// the driver it had before).
//
// The media folder named below is the one the machine's drive D: maps (the
// build's media by default): its language files give the texts of each
// language, its files what the staging tree should hold.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim/core/machine.h"

namespace oracle {

// The texts that end a run, in the built-in catalogue and, for the first
// phase, in the language file of the machine's default language.
struct Texts {
    std::vector<std::string> complete, reboot, removedOld, failed, pressAnyKey;
};
// The built-in catalogue's texts and those of the media's language file for
// the language.
Texts textsFor(uint16_t langId, const std::string& mediaDir);

// What one run said.
struct Claim {
    std::string what;   // "SETUP.EXE /X", "the service phase", ...
    int exitCode = -1;
    std::string console;
    bool quiet = true;  // false: "Press any key to exit." follows the final text
    // On the USB management device's road: the machine before the run.
    const sim::Machine* usbRoadBefore = nullptr;
};

// Whether the machine has the USB management device (a present HID device
// with the family's vendor and product ids).
bool hasUsbManagementDevice(const sim::Machine& m);
// The present devices of the family whose driver differs from the one they
// had on the machine before.
std::vector<std::string> familyDriversChanged(const sim::Machine& before, const sim::Machine& after);

bool secondPhaseScheduled(sim::Machine& m);
// Why a restart is pending; empty when none is.
std::string restartPending(const sim::Machine& m);
// The present devices of the family without their driver from the staging
// tree's INF files, each with the INF it lacks.
std::vector<std::string> familyDevicesWithoutStagedDriver(const sim::Machine& m);
// The INF of the staging tree that a device should carry (that of its first
// id of the family); null for a device not of the family.
const char* familyInf(const sim::Device& d);

// The family's devices that lack what the run owes them: their staged
// driver, or on the USB management device's road (usbRoadStart: the machine
// before the first run) the driver they had before.
std::vector<std::string> owedDevices(const sim::Machine& m, const sim::Machine* usbRoadStart);
// Nothing scheduled or pending, and no device owed anything.
bool settled(sim::Machine& m, const sim::Machine* usbRoadStart);
// Why a machine has not settled (the first reason); empty when it has.
std::string notSettled(sim::Machine& m, const sim::Machine* usbRoadStart);

// Empty when the claim agrees with the machine, else what disagrees.
std::string disagreement(const Claim& claim, sim::Machine& after, const Texts& texts);

// The machine in a folder as one flat map (state and the files of its
// drives by content), without the record of programs run and the current
// directories that winsim run sets: two such maps are equal when nothing
// else changed.
std::map<std::string, std::string> machineContent(const std::string& folder);
// A file's content as a 64-bit hash in decimal; empty when it cannot be read.
std::string contentHash(const std::string& path);
// The names of the files below a folder of the machine (a host path below
// its drives, "C/WINNT") that the media has under the same name in its
// win2000 folder, with other bytes than the media's.
std::vector<std::string> filesUnlikeMedia(const std::string& folder, const std::string& below,
                                          const std::string& mediaDir);
// Takes out of both maps the files named so (anywhere on the machine) that
// are now the media's file of the same name, with their attributes.
void setAsideMediaCopies(std::map<std::string, std::string>& before, std::map<std::string, std::string>& after,
                         const std::vector<std::string>& names, const std::string& mediaDir);

// What differs between two such maps, a few lines at most; empty when equal.
std::string contentChanges(const std::map<std::string, std::string>& before,
                           const std::map<std::string, std::string>& after);

}  // namespace oracle
