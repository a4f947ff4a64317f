#pragma once
// The one place the facade asks the location reporter for a location (prompt: ask the user for
// permission first). Main loop.
namespace vezeduduz {

// TODO(location reporter): call VezEduduzLocation::getLocation(prompt) once it exists; until then
// nothing is asked for.
inline void requestLocation(bool prompt) { (void)prompt; }

}  // namespace vezeduduz
