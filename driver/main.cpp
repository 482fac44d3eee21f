// Entry point: turns the platform's arguments into paths, untouched, and hands
// them to the conversion run together with the real console.

#include "driver/conversion_run.hpp"

#include <filesystem>
#include <iostream>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#endif

namespace {

template <typename Char>
int run(int argc, Char* argv[])
{
    const std::vector<std::filesystem::path> arguments(argv + 1, argv + argc);
    return wpan2pcap::run_conversion(arguments, std::cout);
}

} // namespace

#ifdef _WIN32
// Wide arguments keep every file name exactly as Windows holds it.
int wmain(int argc, wchar_t* argv[])
{
    // Raw trace bytes and line ends must reach the console unchanged.
    _setmode(_fileno(stdout), _O_BINARY);
    return run(argc, argv);
}
#else
int main(int argc, char* argv[])
{
    return run(argc, argv);
}
#endif
