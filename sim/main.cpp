// flash3-sim: a virtual device on a pseudo-terminal, for trying the host
// programs without hardware. Everything but the entry point is in the library
// so the tests can run it.

#include "sim_runner.h"

int main(int argc, char** argv)
{
    return flash3sim::runMain(argc, argv);
}
