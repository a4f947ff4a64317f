#pragma once
// The dispatch area's door: clock, main loop, queues, groups, semaphores, once, timers, operation queues.
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/DispatchGroup.h"
#include "platform/dispatch/DispatchOnce.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/dispatch/DispatchSemaphore.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/OperationQueue.h"
