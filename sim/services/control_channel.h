// The control channel of a service that the simulated service control
// manager started: WINSIM_CONTROL names a file (a plain file or a FIFO) that
// senders append lines to, one control a line:
//
//     <control>                      sent as soon as the service can take it
//     <control> before <Function>#<n>
//                                    sent when the service's main thread
//                                    starts its nth call of Function; that
//                                    call waits until the handler has run
//
// <control> is a number or one of stop, pause, continue, interrogate,
// shutdown. The dispatcher (dispatcher.h) reads the file from its start and
// then follows it while ServiceMain runs. `winsim control` appends to
// <machine>/controls/<service>.txt, which `winsim restart` hands to the
// service's next start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Parses one line of the channel; false with a message for a bad line.
bool parseServiceControl(const std::string& line, uint32_t& control, std::string& beforeFunction, unsigned& nth,
                         std::string& error);

// Follows a channel file from its start: each look gives the lines written
// whole since the last.
class ControlChannel {
public:
    explicit ControlChannel(const char* path);
    ~ControlChannel();
    ControlChannel(const ControlChannel&) = delete;
    ControlChannel& operator=(const ControlChannel&) = delete;

    std::vector<std::string> newLines();

private:
    std::string path_;
    int fd_ = -1;
    std::string partial_;
};

}  // namespace sim
