#pragma once
// Lets a test wait for the measurement engine's queued work before it looks at the results or resets
// the process. Any thread but the engine's own queues.
namespace measurement {

// Waits until the serial queue, the measurement worker queue and the operation queue have run what was
// queued (the operation queue bounded by `timeoutSeconds`; a suspended one counts as idle). False when
// the operation queue did not finish in time.
bool MSRAnalyticsWaitForIdle(double timeoutSeconds = 5);

}  // namespace measurement
