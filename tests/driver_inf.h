// A small driver package INF for tests that bind drivers on the simulated
// machine.
#pragma once

#include <string>

namespace testinf {

// An INF of class System whose models section holds `model`; with children,
// its hardware key declares child functions 3 and 5, as the multifunction
// driver reads them.
inline std::string inf(const std::string& model, bool children = false) {
    return "[Version]\nSignature=\"$Windows NT$\"\nClass=System\n"
           "ClassGuid={4D36E97D-E325-11CE-BFC1-08002BE10318}\n\n"
           "[Manufacturer]\n%Maker%=Models\n\n[Models]\n" +
           model +
           "\n\n[Install]\n\n" +
           (children ? "[Install.HW]\nAddReg=Children\n\n[Children]\n"
                       "HKR,Child0003,HardwareID,,MF\\MGTPROC_DEV3\nHKR,Child0005,HardwareID,,MF\\MGTPROC_DEV5\n\n"
                     : "") +
           "[Strings]\nMaker=\"Maker\"\n";
}

}  // namespace testinf
