#pragma once
// The whole tesmar-sim run, apart from the process: options, boot, launch, the command loop and the
// exit status (see Device.h for the codes). Event lines go to `out`, messages to `err`; commands come
// from --script or, without it, from `in`, one line at a time as they arrive.
#include <cstdio>
#include <istream>
#include <string>
#include <vector>

namespace tesmar_host {

int runSimulator(const std::vector<std::string>& argv, std::istream& in, std::FILE* out, std::FILE* err);

}  // namespace tesmar_host
