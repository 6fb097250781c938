// Texts and checks shared by the scenario tests of the installation flow.
#pragma once

#include <string>

#include "harness.h"
#include "sim/core/machine.h"

namespace flow {

const std::string Banner = "QRV Service Processor server software installation\n\r";
const std::string RemovingOld = "Removing older version of the device drivers.\n";
const std::string RemovedOld = "Removed the old device drivers. \nReboot the machine to install the new drivers.\n";
const std::string Complete = "Installation complete\n\r";
const std::string RebootForDriver = "Reboot the machine for the device driver to start. \n\r";
const std::string Failed = "\nInstallation failed\n";
const std::string PressAnyKey = "Press any key to exit.";

const std::string StagingTree = "C:\\WINNT\\system32\\drivers\\korpa";
const std::string StagedSetup = StagingTree + "\\win2000\\SETUP.EXE";
const std::string ServicesKey = "SYSTEM\\CurrentControlSet\\Services\\";
const std::string RunOnceKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

inline std::string installing(const std::string& inf) {
    return "Installing drivers for " + StagingTree + "\\win2000\\" + inf + ".\n";
}

// The drivers of the newer adapter and its child functions 3 and 5.
inline std::string newerAdapterBindings() {
    return installing("korpa.inf") + installing("serw.inf") + installing("mpw.inf");
}

// No handle and no heap block left at the end of the run.
inline void expectNothingLeftOpen(const scenario::RunResult& r) {
    ASSERT_FALSE(r.report.is_null()) << "no exit report";
    EXPECT_EQ(r.report.value("openHandles", -1), 0) << r.report.dump();
    EXPECT_EQ(r.report.value("heapBlocks", -1), 0) << r.report.dump();
}

// The first present device whose instance id starts with `prefix`.
inline const sim::Device* device(const sim::Machine& m, const std::string& prefix) {
    for (const auto& d : m.devices)
        if (d.present && d.instanceId.rfind(prefix, 0) == 0) return &d;
    return nullptr;
}

inline std::string boundInf(const sim::Machine& m, const std::string& prefix) {
    const sim::Device* d = device(m, prefix);
    return d ? d->boundInf : "(no present device)";
}

inline bool hasService(sim::Machine& m, const std::string& name) {
    const sim::RegKey* k = sim::findKey(m, ServicesKey + name);
    return k && k->values.count("Type");
}

inline std::string runOnceSetup(sim::Machine& m) {
    const sim::RegKey* k = sim::findKey(m, RunOnceKey);
    if (!k || !k->values.count("Setup")) return "";
    const std::string& data = k->values.at("Setup").data;
    return data.substr(0, data.find('\0'));
}

using scenario::contains;

// The installer on the media, as the tests start it.
const std::string MediaSetup = "D:\\WIN2000\\SETUP.EXE";

}  // namespace flow
