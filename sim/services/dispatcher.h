// Controls for the service of a process that the simulated service control
// manager started.
//
// The control channel: WINSIM_CONTROL names a file (a plain file or a FIFO)
// that senders append lines to, one control a line:
//
//     <control>                      sent as soon as the service can take it
//     <control> before <Function>#<n>
//                                    sent when the service's main thread
//                                    starts its nth call of Function; that
//                                    call waits until the handler has run
//
// <control> is a number or one of stop, pause, continue, interrogate,
// shutdown. The dispatcher thread reads the file from its start and then
// follows it while ServiceMain runs, and calls the handler on its own
// thread, as Windows does. Controls are judged as the service control
// manager judges them: stop, pause/continue and shutdown only when the last
// status report accepts them, interrogate and user controls (128-255)
// always, nothing once the service has reported stopped. A control sent
// before the first status report waits for it. `winsim control` appends
// to <machine>/controls/<service>.txt, which `winsim restart` hands to the
// service's next start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Parses one line of the channel; false with a message for a bad line.
bool parseServiceControl(const std::string& line, uint32_t& control, std::string& beforeFunction, unsigned& nth,
                         std::string& error);

// Queues a control for the service of this process (what a line of the
// channel does); beforeFunction empty: as soon as it can be taken.
void queueServiceControl(uint32_t control, const std::string& beforeFunction = "", unsigned nth = 0);

struct ControlOutcome {
    uint32_t control = 0;
    uint32_t error = 0;  // 0: the handler ran; else why it was refused
};
// What became of the controls of this process, in order.
std::vector<ControlOutcome> serviceControlOutcomes();

}  // namespace sim
