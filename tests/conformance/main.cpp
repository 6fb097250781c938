// The conformance program: every part's cases in turn, then the report
// (conformance.h says what is checked and how).
#include "conformance.h"

int main() {
    conformance::prepareMachine();
    conformance::registryCases();
    conformance::serviceCases();
    conformance::fileCases();
    conformance::setupApiCases();
    conformance::finishMachine();
    return conformance::report();
}
