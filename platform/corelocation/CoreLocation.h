#pragma once
// The location framework stand-in: runtime classes "CLLocationManager" and "CLLocation", registered by
// registerClasses() only when PlatformConfig lists "CoreLocation" among the optional frameworks, so code
// that looks the classes up by name finds them exactly when the device has them. Callers that do not
// link this area talk to the classes by selector only; the signatures below are what they must use.
//
// "CLLocationManager"
//   +locationServicesEnabled                         bool()
//   +authorizationStatus                             int64_t()   (AuthorizationStatus)
//   +alloc / -init                                   ObjectHandle()
//   -delegate / -setDelegate:                        ObjectHandle() / void(ObjectHandle)   (held weakly)
//   -requestAlwaysAuthorization                      void()
//   -requestWhenInUseAuthorization                   void()
//   -allowsBackgroundLocationUpdates                 bool()
//   -setAllowsBackgroundLocationUpdates:             void(bool)  throws std::logic_error without the
//                                                    Info.plist background mode "location", as the device
//                                                    faults
//   -startUpdatingLocation / -stopUpdatingLocation   void()
// "CLLocation"
//   -coordinate                                      std::pair<double, double>()   (latitude, longitude)
//   -horizontalAccuracy / -verticalAccuracy          double()   (metres; negative: not valid)
//
// Delegate calls, on the main loop, each only when the delegate answers its selector:
//   locationManager:didUpdateLocations:              void(ObjectHandle manager, std::vector<ObjectHandle>)
//   locationManager:didFailWithError:                void(ObjectHandle manager, Error)
//   locationManager:didChangeAuthorizationStatus:    void(ObjectHandle manager, int64_t status)
//
// Authorization requests prompt only while the status is not determined and only when the Info.plist
// holds the matching usage description ("NSLocationAlwaysUsageDescription" or
// "NSLocationAlwaysAndWhenInUseUsageDescription" for always, "NSLocationWhenInUseUsageDescription" for
// when in use); the simulated user grants what was asked. A prompt posts DeviceEvents "location.prompt"
// {kind, answer}; starting and stopping updates post "location.updates" {state}.
//
// While a manager is updating, services are on, the app is authorized and the device has a position, the
// position is delivered once and again whenever it changes; a denied or restricted app gets
// didFailWithError: (domain "kCLErrorDomain", code 1). The device state below is guarded by one lock;
// every function may be called from any thread.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "platform/foundation/Value.h"

namespace platform::corelocation {

enum class AuthorizationStatus : int64_t {
    NotDetermined = 0,
    Restricted = 1,
    Denied = 2,
    AuthorizedAlways = 3,
    AuthorizedWhenInUse = 4,
};

// "not-determined", "restricted", "denied", "always", "when-in-use".
const char* authorizationStatusName(AuthorizationStatus status);
std::optional<AuthorizationStatus> authorizationStatusNamed(const std::string& name);

inline constexpr const char* kFrameworkName = "CoreLocation";
inline constexpr const char* kErrorDomain = "kCLErrorDomain";
inline constexpr int64_t kErrorDenied = 1;

struct Position {
    double latitude = 0;
    double longitude = 0;
    double horizontalAccuracy = 5;
    double verticalAccuracy = 5;
};

// Registers the two classes when the framework is present. Idempotent.
void registerClasses();

// --- the device (host and tests) ---
// The user's answer changes: every manager's delegate hears didChangeAuthorizationStatus:, and updating
// managers get the position once authorized.
void setAuthorizationStatus(AuthorizationStatus status);
AuthorizationStatus authorizationStatus();
void setServicesEnabled(bool enabled);
bool servicesEnabled();
// A new position; updating managers receive it.
void setPosition(Position position);
std::optional<Position> position();
// How many managers are updating now, and how many may update in the background.
int updatingManagers();
int backgroundManagers();

}  // namespace platform::corelocation
