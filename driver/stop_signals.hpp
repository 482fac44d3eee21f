#pragma once

// SIGINT, SIGTERM and SIGHUP stop a conversion at a record boundary rather
// than wherever they land, so the output stays a whole capture of exactly the
// records traced; the process then ends by that same signal, so whoever
// started it knows it was interrupted. On Windows these are no-ops.

namespace wpan2pcap {

// Installs the handlers. A signal that the parent left ignored (nohup, a
// background job) stays ignored.
void install_stop_signals();

// True once a stop signal has arrived.
bool stop_requested();

// Ends the process by the stop signal that arrived, with its default action
// restored; returns when none did.
void end_if_stop_requested();

// Marks a stretch in which everything traced is already in the output, such
// as a wait for input that may never come. A stop signal that arrived before,
// or arrives during it, ends the process at once: nothing would be lost, and
// the blocked read could not notice a request anyway.
class stop_point {
public:
    stop_point();
    ~stop_point();
    stop_point(const stop_point&) = delete;
    stop_point& operator=(const stop_point&) = delete;
};

} // namespace wpan2pcap
