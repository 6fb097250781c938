// TEMPORARY: stands in until the binding code lands; its owner deletes it.
#include "devices/install_plan.h"
#include "legacy/family_programs.h"

int restartIndication;
void bindPresentDevices(PlanVariant) {}
int runSystemProgram(const char*) { return 0; }
