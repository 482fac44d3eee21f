#pragma once

// SIGINT, SIGTERM and SIGHUP stop a run at a record boundary rather than
// wherever they land, so the output stays a whole capture; the program then
// ends as it chooses (the converter by that same signal, so whoever started
// it knows it was interrupted).
//
// Whatever the run is blocked on when a stop comes (an open, a read, a write
// to a stalled reader) gives way: the handlers do not restart interrupted
// calls, and from the stop on a timer interrupts any blocking call every few
// milliseconds, so even a call entered just after the signal cannot hang.
// Writes still in hand may go on for a short grace period, so that a reader
// that is merely slow still gets every byte. On Windows these are no-ops.

#include <chrono>

namespace wpan2pcap {

// How long writes may still wait for a slow reader once a stop has come.
inline constexpr std::chrono::milliseconds stop_grace{50};

// Installs the handlers. A signal that the parent left ignored (nohup, a
// background job) stays ignored.
void install_stop_signals();

// True once a stop signal has arrived.
bool stop_requested();

// True once a stop has come and its grace period is over: a write that would
// wait now gives up.
bool stop_grace_over();

// What is left of the grace period (zero when none has come or it is over).
std::chrono::milliseconds stop_grace_left();

// Ends the process by the stop signal that arrived, with its default action
// restored; returns when none did.
void end_if_stop_requested();

} // namespace wpan2pcap
