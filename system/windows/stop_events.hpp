#pragma once

// How the console's stop events reach calls that wait: the windows/ files'
// own, not part of the platform layer's interface.

#include <windows.h>

namespace wpan2pcap {

// Set once a stop has come; waits that may be long wait on it too.
HANDLE stop_event();

// Marks the main thread's call that may block, for as long as it lasts: once
// a stop has come, a read is cancelled at once and a write when the grace
// period is over, and again every few milliseconds while the call lasts, so
// even a call entered just after the stop cannot hang.
class blocking_call {
public:
    enum kind { none, reading, writing };
    explicit blocking_call(kind what);
    ~blocking_call();
    blocking_call(const blocking_call&) = delete;
    blocking_call& operator=(const blocking_call&) = delete;

private:
    kind what_;
};

} // namespace wpan2pcap
