#pragma once
// ResetRegistry: how each process-wide singleton returns to the state it had when first built, kept in
// one list so that a test can start from a fresh "process" without a reset hook in every public header.
//
// A singleton adds itself from its own .cpp when it is first built; the test support in testing/ runs
// the list. Resets run newest first, as destructors would: a singleton built on top of another one is
// undone before it. One whose reset must run before another's makes sure that other is built (and so
// added) first. Any thread; a reset runs on the caller's thread, without the registry's lock held.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class ResetRegistry {
public:
    // Adds `reset` under `name` ("vezeduduz.statics"); a name already there keeps its place and reset.
    static void add(std::string name, std::function<void()> reset);

    // Runs every reset, newest first. Entries added while they run wait for the next run.
    static void runAll();
    // Runs the resets of the entries named in `names` that are there, newest first.
    static void run(const std::vector<std::string_view>& names);
};

}  // namespace platform
