// main() of the host-level test programs (support/host_library.h, host_main).

#include "support/host_library.h"

int main(int argc, char** argv) { return vantrel::test::host_main(argc, argv); }
