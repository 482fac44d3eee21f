#pragma once

// The platform's entry point, shared by both programs: it readies the
// standard streams and the stop signals, turns the platform's arguments into
// paths, untouched, and hands them to run_program, which each program
// defines. Include it from one source file of the program only.

#include "system/console.hpp"
#include "system/stop_signals.hpp"

#include <filesystem>
#include <vector>

int run_program(const std::vector<std::filesystem::path>& arguments);

namespace wpan2pcap {

template <typename Char>
int start_program(int argc, Char* argv[])
{
    prepare_standard_streams();
    install_stop_signals();
    return run_program({argv + 1, argv + argc});
}

} // namespace wpan2pcap

#ifdef _WIN32
// Wide arguments keep every file name exactly as Windows holds it.
int wmain(int argc, wchar_t* argv[])
{
    return wpan2pcap::start_program(argc, argv);
}
#else
int main(int argc, char* argv[])
{
    return wpan2pcap::start_program(argc, argv);
}
#endif
