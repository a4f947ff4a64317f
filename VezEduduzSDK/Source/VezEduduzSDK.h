#pragma once
// The push client's front door: everything an application uses of it. Applications include this
// header only; the others in this folder are the client's own.
#include "VezEduduzSDK/Source/VENotification.h"        // notifications, their payload, the opened result
#include "VezEduduzSDK/Source/VEStateChanges.h"        // permission and subscription state changes
#include "VezEduduzSDK/Source/VESubscriptionState.h"   // the subscription state and its observers
#include "VezEduduzSDK/Source/VezEduduz.h"             // the facade, its settings keys and blocks
#include "VezEduduzSDK/Source/VezEduduzAppDelegate.h"  // loadApplicationCategory(), run at start
