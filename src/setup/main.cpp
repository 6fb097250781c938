#include "setup/options.h"

int main(int argc, char** argv) { return setupMain(argc, argv); }
