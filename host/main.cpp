// tesmar-sim: the device host. See host/Simulator.h and host/Device.h.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "host/Simulator.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    int status = tesmar_host::runSimulator(args, std::cin, stdout, stderr);
    // A phone ends an app's process without an orderly stop. So does the device: queues may still be at
    // work (an upload, a retry), and running the libraries' exit handlers and static destructors under
    // them would tear down what they use. What was printed is flushed; the rest ends with the process.
    // Only the output streams: a run interrupted while waiting for a typed line leaves its reader inside a
    // read of stdin, holding that stream's lock, which flushing every stream would wait on for good.
    std::cout.flush();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}
