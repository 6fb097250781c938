// The event log of the simulated machine: entries reported through an event
// source are kept in the machine, with the program that wrote them.
#include <string>
#include <vector>

#include "platform/win_services.h"
#include "sim/core/calls.h"
#include "sim/core/current_machine.h"
#include "sim/core/handles.h"
#include "sim/core/win_codes.h"

using namespace sim;

HANDLE WINAPI RegisterEventSourceA(LPCSTR server, LPCSTR source) {
    Call c("RegisterEventSourceA", {arg(server), arg(source)});
    if (c.injected()) return nullptr;
    if (server && *server) return fail(RPC_S_SERVER_UNAVAILABLE, nullptr);
    if (!source || !*source) return fail(ERROR_INVALID_PARAMETER, nullptr);
    return reinterpret_cast<HANDLE>(newHandle(HandleKind::EventSource, source));
}

BOOL WINAPI ReportEventA(HANDLE log, WORD type, WORD category, DWORD eventId, PSID sid, WORD numStrings,
                         DWORD dataSize, LPCSTR* strings, LPVOID rawData) {
    std::vector<std::string> a = {arg(log), arg(static_cast<uint32_t>(type)), arg(static_cast<uint32_t>(category)),
                                  arg(eventId), arg(static_cast<const void*>(sid)), arg(static_cast<uint32_t>(numStrings)),
                                  arg(dataSize)};
    for (WORD i = 0; strings && i < numStrings; ++i) a.push_back(arg(strings[i]));
    a.push_back(arg(static_cast<const void*>(rawData)));
    Call c("ReportEventA", a);
    if (c.injected()) return FALSE;
    HandleRec* r = findHandle(reinterpret_cast<uintptr_t>(log), HandleKind::EventSource);
    if (!r) return fail(ERROR_INVALID_HANDLE);
    if (numStrings && !strings) return fail(ERROR_INVALID_PARAMETER);
    EventEntry e;
    e.source = r->name;
    e.type = type;
    e.category = category;
    e.eventId = eventId;
    for (WORD i = 0; i < numStrings; ++i) e.strings.push_back(strings[i] ? strings[i] : "");
    e.process = processName();
    machine().eventLog.push_back(e);
    commit();
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE log) {
    Call c("DeregisterEventSource", {arg(log)}, false);
    if (!findHandle(reinterpret_cast<uintptr_t>(log), HandleKind::EventSource)) return fail(ERROR_INVALID_HANDLE);
    closeHandle(reinterpret_cast<uintptr_t>(log));
    return TRUE;
}
