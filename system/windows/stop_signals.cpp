#include "system/stop_signals.hpp"

namespace wpan2pcap {

void install_stop_signals() {}
bool stop_requested() { return false; }
bool stop_grace_over() { return false; }
std::chrono::milliseconds stop_grace_left() { return std::chrono::milliseconds::zero(); }
void end_if_stop_requested() {}

} // namespace wpan2pcap
