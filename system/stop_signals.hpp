#pragma once

// A stop (SIGINT, SIGTERM or SIGHUP; on Windows Ctrl-C, Ctrl-Break or
// closing the console window) ends a run at a record boundary rather than
// wherever it lands, so the output stays a whole capture; the program then
// ends as it chooses (the converter as that stop ends programs, so whoever
// started it knows it was interrupted).
//
// Whatever the run is blocked on when a stop comes (an open, a read, a write
// to a stalled reader) gives way: on POSIX the handlers do not restart
// interrupted calls, and from the stop on a timer interrupts any blocking
// call every few milliseconds; on Windows the blocked call is cancelled, and
// again every few milliseconds; so even a call entered just after the stop
// cannot hang. Writes still in hand may go on for a short grace period, so
// that a reader that is merely slow still gets every byte.

#include <chrono>

namespace wpan2pcap {

// How long writes may still wait for a slow reader once a stop has come.
inline constexpr std::chrono::milliseconds stop_grace{50};

// Installs the handlers. A signal that the parent left ignored (nohup, a
// background job; a console whose Ctrl-C is ignored) stays ignored.
void install_stop_signals();

// True once a stop signal has arrived.
bool stop_requested();

// True once a stop has come and its grace period is over: a write that would
// wait now gives up.
bool stop_grace_over();

// What is left of the grace period (zero when none has come or it is over).
std::chrono::milliseconds stop_grace_left();

// Ends the process as the stop that came ends programs (by the signal, with
// its default action restored; on Windows with STATUS_CONTROL_C_EXIT);
// returns when none came.
void end_if_stop_requested();

} // namespace wpan2pcap
