#pragma once
// Preferences functions: the flat, domain-addressed form of the preferences store (UserDefaults.h), for
// code that keeps no store object. An application identifier names a domain: a suite's name, or
// kCFPreferencesCurrentApplication for the application's own domain. Values are read and written for
// the current user on any host, the only scope this device has. Safe from any thread.
//
// Writes reach the domain file as UserDefaults describes; CFPreferencesAppSynchronize additionally picks
// up changes another writer made and retries a write that failed.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Value.h"

namespace platform {

inline constexpr const char* kCFPreferencesCurrentApplication = "kCFPreferencesCurrentApplication";

// The value for a key, or nullopt (also for an empty key).
std::optional<Value> CFPreferencesCopyAppValue(std::string_view key, std::string_view applicationID);
// nullopt removes the key. false when refused: an empty key, or a value that is not a property-list
// value (objects, or nulls at any depth).
bool CFPreferencesSetAppValue(std::string_view key, const std::optional<Value>& value,
                              std::string_view applicationID);
// Sets and removes several keys; a refused value leaves the others applied. false when anything was
// refused or could not be written.
bool CFPreferencesSetMultiple(const ValueDictionary& keysToSet, const std::vector<std::string>& keysToRemove,
                              std::string_view applicationID);
// The keys stored in the domain (no launch arguments, no registrations); empty when there are none.
std::vector<std::string> CFPreferencesCopyKeyList(std::string_view applicationID);
// Writes the domain to disk now. false when the write failed.
bool CFPreferencesAppSynchronize(std::string_view applicationID);

// How many times CFPreferencesAppSynchronize has been called in this process (tests count flushes).
size_t CFPreferencesAppSynchronizeCallCount();

}  // namespace platform
