#pragma once
// The system's identification record, as the phone's uname(3) answers it: the kernel name, the device's
// network name and the hardware model identifier ("iPhone10,3"; "x86_64" or "i386" in the simulator).
// Answered from the device facts of this run, never from the Linux host. Safe from any thread.
#include <string>

namespace platform {

struct UTSName {
    std::string sysname;   // "Darwin"
    std::string nodename;  // the device's name
    std::string machine;   // hardware model identifier; empty when the device gives none
};

UTSName uname();

}  // namespace platform
