// tesmar-sim: the device host. See host/Simulator.h and host/Device.h.
#include <iostream>
#include <string>
#include <vector>

#include "host/Simulator.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    return tesmar_host::runSimulator(args, std::cin, stdout, stderr);
}
