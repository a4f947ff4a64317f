#pragma once
// "tesmar-sim demo": starts the demo intranet site and the push service stand-in on loopback, writes
// a bundle (Info.plist, Config.json, the app core's options) into a fresh directory, maps the app's
// fixed host names to the local servers, runs the app through a scripted tour and checks that every
// expected event was seen, in order. Exit 0 when it was; 1 with the missing events named.
#include <cstdio>

#include "host/Options.h"

namespace tesmar_host {

int runDemo(const Options& options, std::FILE* out, std::FILE* err);

}  // namespace tesmar_host
