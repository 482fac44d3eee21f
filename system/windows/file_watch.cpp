#include "system/file_watch.hpp"

#include "system/system_files.hpp"

namespace wpan2pcap {

file_watch::~file_watch() = default;

void file_watch::watch(const std::filesystem::path&) {}

bool file_watch::wait() { return pause_unless_stopped(file_look_interval); }

} // namespace wpan2pcap
