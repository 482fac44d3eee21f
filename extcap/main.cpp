// Entry point of the extcap program: Wireshark runs it to list its
// interface, the interface's link type and options, and to capture into a
// named pipe. A stop (Wireshark sends SIGTERM) ends a capture with status 0.

#include "extcap/capture_report.hpp"
#include "extcap/extcap_request.hpp"
#include "extcap/pipe_capture.hpp"
#include "system/console.hpp"
#include "system/exit_status.hpp"
#include "system/program_main.hpp"
#include "system/stop_signals.hpp"

#include <filesystem>
#include <iostream>
#include <vector>

int run_program(const std::vector<std::filesystem::path>& arguments)
{
    using namespace wpan2pcap;
    const extcap_request request = parse_extcap_request(arguments);
    // A capture, even one that cannot be carried out, first takes
    // Wireshark's control pipes: Wireshark waits for that.
    if (request.what == extcap_request::action::capture)
        return capture_to_pipe(request, std::cerr);
    if (!request.error.empty()) {
        report_error(std::cerr, request.error);
        release_waiting_reader(request);
        return exit_usage;
    }
    answer_extcap_question(request, std::cout, help_file());
    std::cout.flush();
    return std::cout ? exit_success : exit_file_failure;
}

