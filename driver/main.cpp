// Entry point: readies the console and the stop signals, turns the platform's
// arguments into paths, untouched, and hands them to the conversion run
// together with the real console.

#include "driver/console.hpp"
#include "driver/conversion_run.hpp"
#include "driver/path_text.hpp"
#include "driver/progress_line.hpp"
#include "driver/stop_signals.hpp"

#include <filesystem>
#include <optional>
#include <ostream>
#include <vector>

namespace {

template <typename Char>
int run(int argc, Char* argv[])
{
    using namespace wpan2pcap;
    prepare_standard_streams();
    install_stop_signals();
    const std::vector<std::filesystem::path> arguments(argv + 1, argv + argc);
    const console_facts facts = inspect_console();

    // A terminal gets every block at once, shown safely; any other console
    // gets the bytes as stored, in large writes.
    console_buffer trace_buffer(standard_output);
    std::ostream console(&trace_buffer);
    run_setup setup{.style = {}, .console_file = facts.trace_file};
    if (facts.trace_on_terminal)
        setup.style = {.bytes = trace_style::visible, .flush_each_block = true};

    // Where the trace is not watched but standard error is, a status line
    // shows the run's progress instead.
    std::optional<progress_line> progress;
    if (!facts.trace_on_terminal && facts.errors_on_terminal) {
        progress.emplace(standard_error, arguments.size() == 2 ? visible_text(path_text(arguments[1])) : "");
        setup.observer = &*progress;
    }

    const int status = run_conversion(arguments, console, setup);
    console.flush();
    if (progress)
        progress->finish(stop_requested());
    // A stop ends the process by that signal, once the run has wound up.
    end_if_stop_requested();
    return status;
}

} // namespace

#ifdef _WIN32
// Wide arguments keep every file name exactly as Windows holds them.
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
