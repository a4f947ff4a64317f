#pragma once
// The host's location and store commands and flags: parsing of their arguments (checked fully before
// anything runs) and carrying them out on the device's location and store stand-ins.
#include <optional>
#include <string>
#include <vector>

#include "host/Commands.h"
#include "platform/corelocation/CoreLocation.h"

namespace tesmar_host {

// "LAT LONG [HACC [VACC]]" split into parts: a latitude in -90..90, a longitude in -180..180, accuracies
// (metres) that are finite numbers; nullopt with `error` set otherwise.
std::optional<platform::corelocation::Position> parsePosition(const std::vector<std::string>& parts,
                                                              std::string& error);

// Fills command.payload from `rest` for the location and store verbs; an error message, or "" when fine.
std::string parseLocationStoreArgument(Command::Kind kind, const std::string& verb, const std::string& rest,
                                       Command& command);

// Carries out a location or store command; an error message when it could not be done.
std::optional<std::string> runLocationStoreCommand(const Command& command);

}  // namespace tesmar_host
