// Entry point: readies the console and the stop signals, turns the platform's
// arguments into paths, untouched, and hands them to the conversion run
// together with the real console.

#include "driver/conversion_run.hpp"
#include "driver/standard_streams.hpp"
#include "driver/stop_signals.hpp"

#include <filesystem>
#include <iostream>
#include <vector>

namespace {

template <typename Char>
int run(int argc, Char* argv[])
{
    wpan2pcap::prepare_standard_streams();
    wpan2pcap::install_stop_signals();
    const std::vector<std::filesystem::path> arguments(argv + 1, argv + argc);
    const int status = wpan2pcap::run_conversion(arguments, std::cout, wpan2pcap::standard_output_file());
    // A stop signal that came after the last record boundary still ends the
    // process by that signal.
    wpan2pcap::end_if_stop_requested();
    return status;
}

} // namespace

#ifdef _WIN32
// Wide arguments keep every file name exactly as Windows holds it.
int wmain(int argc, wchar_t* argv[])
{
    return run(argc, argv);
}
#else
int main(int argc, char* argv[])
{
    return run(argc, argv);
}
#endif
