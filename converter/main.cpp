// The converter: hands the arguments to the conversion run together with the
// real console, set up for what it is (a terminal, a file or pipe, the null
// device), and a status line where a person watches standard error.

#include "converter/conversion_run.hpp"
#include "converter/progress_line.hpp"
#include "system/console.hpp"
#include "system/path_text.hpp"
#include "system/program_main.hpp"
#include "system/stop_signals.hpp"

#include <filesystem>
#include <optional>
#include <ostream>
#include <vector>

int run_program(const std::vector<std::filesystem::path>& arguments)
{
    using namespace wpan2pcap;
    const console_facts facts = inspect_console();

    // A terminal gets every block at once, shown safely; any other console
    // gets the bytes as stored, in large writes.
    console_buffer trace_buffer(standard_output);
    std::ostream console(&trace_buffer);
    run_setup setup{.style = {}, .console_file = facts.trace_file};
    if (facts.trace_on_terminal)
        setup.style = {.bytes = trace_style::visible, .flush_each_block = true};
    // Sent to the null device, the trace would cost nearly all the run's time
    // and reach nobody.
    setup.style.discarded = facts.trace_discarded;

    // Where the trace is not watched but standard error is, a status line
    // shows the run's progress instead.
    std::optional<progress_line> progress;
    if (!facts.trace_on_terminal && facts.errors_on_terminal) {
        progress.emplace(standard_error, arguments.size() == 2 ? visible_text(path_text(arguments[1])) : "");
        setup.observer = &*progress;
    }

    // A word for the person, that is not the trace's: on standard error.
    console_buffer notice_buffer(standard_error, 1024);
    std::ostream notices(&notice_buffer);
    setup.notices = &notices;

    const int status = run_conversion(arguments, console, setup);
    console.flush();
    if (progress)
        progress->finish(stop_requested());
    // A stop ends the process by that signal, once the run has wound up.
    end_if_stop_requested();
    return status;
}

