// What the service control manager, the dispatcher and the Setup API's
// AddService share: the services' keys and the manager's database.
#include "sim/services/services.h"

#include "platform/win_services.h"
#include "sim/core/current_machine.h"
#include "sim/core/handles.h"

namespace sim {

RegKey* serviceKey(const std::string& name) {
    if (name.empty() || name.find('\\') != std::string::npos) return nullptr;
    RegKey* k = findKey(machine(), std::string(ServicesRoot) + "\\" + name);
    if (!k || k->values.find("Type") == k->values.end()) return nullptr;
    return k;
}

std::string knownService(const std::string& name) {
    ensureServiceDatabase(machine());
    const auto& db = machine().serviceDatabase;
    auto it = db.find(name);
    return it == db.end() ? std::string() : it->first;
}

void registerService(const std::string& name, const std::string& displayName) {
    ensureServiceDatabase(machine());
    auto& db = machine().serviceDatabase;
    db.erase(name);  // a name in another letter case is the same service
    db[name] = displayName.empty() ? name : displayName;
}

void removeServiceIfUnused(const std::string& name) {
    Machine& m = machine();
    auto it = m.services.find(name);
    if (it == m.services.end() || !it->second.deletePending) return;
    if (it->second.state != SERVICE_STOPPED) return;  // goes when it stops
    std::string path = std::string(ServicesRoot) + "\\" + name;
    // The service's key and everything below it go, and the manager forgets
    // it.
    size_t cut = path.find_last_of('\\');
    if (RegKey* parent = findKey(m, path.substr(0, cut))) parent->subkeys.erase(path.substr(cut + 1));
    ensureServiceDatabase(m);
    m.serviceDatabase.erase(name);
    m.services.erase(it);
    commit();
}

bool serviceHandleOpenFor(const std::string& name) {
    return anyHandle([&](const HandleRec& r) { return r.kind == HandleKind::Service && equalNoCase(r.name, name); });
}

}  // namespace sim
