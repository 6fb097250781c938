// The service control manager: a service made, made again, deleted through
// a handle with and without DELETE, marked for deletion while a handle of it
// is open (a second deletion, a new service of its name, a start), and gone
// once its last handle is closed.
#include "conformance.h"

namespace conformance {

namespace {

const char* const ServiceName = "korpaconf";
const char* const DisplayName = "Korpa conformance";

SC_HANDLE createService(SC_HANDLE manager, const char* name, const char* display, DWORD access) {
    return CreateServiceA(manager, name, display, access, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                          SERVICE_ERROR_NORMAL, "C:\\korpaconf\\service.exe", nullptr, nullptr, nullptr, nullptr,
                          nullptr);
}

}  // namespace

void serviceCases() {
    ServiceHandle manager;
    // What the last error holds after a successful open differs between
    // versions of Windows: not compared.
    Answer a = answer([&] {
        manager.reset(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
        return given(manager.get());
    });
    expect_answer("OpenSCManagerA with full access", a, TRUE, AnyError);
    if (!manager) return;

    ServiceHandle service;
    a = answer([&] {
        service.reset(createService(manager.get(), ServiceName, DisplayName, SERVICE_ALL_ACCESS));
        return given(service.get());
    });
    expect_answer("CreateServiceA", a, TRUE, Sentinel);
    if (!service) return;
    a = answer([&] { return given(ServiceHandle(createService(manager.get(), ServiceName, "Other", 0)).get()); });
    expect_answer("CreateServiceA of a name that exists", a, FALSE, ERROR_SERVICE_EXISTS);

    // A handle without DELETE cannot delete.
    ServiceHandle queryOnly;
    a = answer([&] {
        queryOnly.reset(OpenServiceA(manager.get(), ServiceName, SERVICE_QUERY_STATUS));
        return given(queryOnly.get());
    });
    expect_answer("OpenServiceA", a, TRUE, Sentinel);
    a = answer([&] { return DeleteService(queryOnly.get()); });
    expect_answer("DeleteService through a handle without DELETE", a, FALSE, ERROR_ACCESS_DENIED);
    a = answer([&] { return DeleteService(nullptr); });
    expect_answer("DeleteService without a handle", a, FALSE, ERROR_INVALID_HANDLE);

    // Marked for deletion while its handles are open.
    a = answer([&] { return DeleteService(service.get()); });
    expect_answer("DeleteService", a, TRUE, Sentinel);
    a = answer([&] { return DeleteService(service.get()); });
    expect_answer("DeleteService of a service marked for deletion", a, FALSE, ERROR_SERVICE_MARKED_FOR_DELETE);
    a = answer([&] {
        return given(ServiceHandle(createService(manager.get(), ServiceName, DisplayName, SERVICE_ALL_ACCESS)).get());
    });
    expect_answer("CreateServiceA of the name of a service marked for deletion", a, FALSE,
                  ERROR_SERVICE_MARKED_FOR_DELETE);
#ifdef _WIN32
    // Wine tries to start it: its image is missing.
    a = answer([&] { return StartServiceA(service.get(), 0, nullptr); });
    known_answer("wine-start-marked-service", "StartServiceA of a service marked for deletion", a, FALSE,
                 ERROR_SERVICE_MARKED_FOR_DELETE, FALSE, ERROR_FILE_NOT_FOUND);
#else
    skip_case("StartServiceA of a service marked for deletion",
              "not a call of the installer: the simulator starts services only at the next start of Windows");
#endif

    // Gone with its last handle.
    queryOnly.reset();
    service.reset();
    a = answer(
        [&] { return given(ServiceHandle(OpenServiceA(manager.get(), ServiceName, SERVICE_ALL_ACCESS)).get()); });
    expect_answer("OpenServiceA once the last handle of the deleted service is closed", a, FALSE,
                  ERROR_SERVICE_DOES_NOT_EXIST);
}

}  // namespace conformance
