// zarvo-sim: a virtual ZARVO instrument on a pseudo-terminal (or a given serial device), so the
// tool can be run, tested and demonstrated without the hardware.
#include "options.h"
#include "simulator.h"

int main(int argc, char **argv) {
    sim::Simulator simulator(sim::parseOptions(argc, argv));
    if (!simulator.openLine())
        return 1;
    const int status = simulator.run();
    return simulator.shutdown() ? status : 1;
}
