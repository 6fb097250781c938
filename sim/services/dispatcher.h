// The service side of a process that the simulated service control manager
// started (StartServiceCtrlDispatcherA, RegisterServiceCtrlHandlerA,
// SetServiceStatus), and the controls sent to its service.
//
// The dispatcher thread reads the control channel (control_channel.h) and
// calls the handler on its own thread, as Windows does. Controls are judged
// as the service control manager judges them: stop, pause/continue and
// shutdown only when the last status report accepts them, interrogate and
// user controls (128-255) always, nothing once the service has reported
// stopped. A control sent before the first status report waits for it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

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
