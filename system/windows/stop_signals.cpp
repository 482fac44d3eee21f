// Stops on Windows: Ctrl-C, Ctrl-Break and closing the console window reach
// a console control handler, which the system runs on a thread of its own.
// It asks the run to stop at its next record boundary and cancels whatever
// call the main thread is blocked in, as the POSIX signals interrupt it.

#include "system/stop_signals.hpp"

#include "system/windows/stop_events.hpp"

#include <atomic>
#include <chrono>

namespace wpan2pcap {

namespace {

using clock = std::chrono::steady_clock;

// What Windows reports for a program that Ctrl-C ended.
constexpr UINT status_control_c_exit = 0xC000013A;
constexpr DWORD cancel_interval_ms = 10;

std::atomic<bool> requested{false};
std::atomic<clock::rep> stop_time{0};
std::atomic<int> blocked_in{blocking_call::none};
HANDLE stopped = nullptr;     // manual-reset event, set at the stop
HANDLE main_thread = nullptr; // the thread whose blocking calls are cancelled

BOOL WINAPI on_console_event(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    if (requested.exchange(true))
        return TRUE; // a second press: the stop is under way
    stop_time.store(clock::now().time_since_epoch().count());
    SetEvent(stopped);
    // Until the program ends (which ends this thread too), cancel what the
    // main thread waits on. Closing the window ends the process when this
    // returns, so it must not return first.
    for (;;) {
        const int call = blocked_in.load();
        if (call == blocking_call::reading || (call == blocking_call::writing && stop_grace_over()))
            CancelSynchronousIo(main_thread);
        Sleep(cancel_interval_ms);
    }
}

} // namespace

HANDLE stop_event()
{
    // Made on first use, so that waits work before the handler is installed.
    static const HANDLE event = [] { return stopped = CreateEventW(nullptr, TRUE, FALSE, nullptr); }();
    return event;
}

blocking_call::blocking_call(kind what) : what_(what)
{
    if (what_ != none)
        blocked_in.store(what_);
}

blocking_call::~blocking_call()
{
    if (what_ != none)
        blocked_in.store(none);
}

void install_stop_signals()
{
    stop_event();
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &main_thread, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    // A console whose Ctrl-C the parent left ignored keeps ignoring it: the
    // system does not pass it to handlers then.
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool stop_requested() { return requested.load(std::memory_order_relaxed); }

std::chrono::milliseconds stop_grace_left()
{
    if (!stop_requested())
        return std::chrono::milliseconds::zero();
    const auto since = clock::now() - clock::time_point(clock::duration(stop_time.load()));
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(stop_grace - since);
    return std::max(left, std::chrono::milliseconds::zero());
}

bool stop_grace_over() { return stop_requested() && stop_grace_left() == std::chrono::milliseconds::zero(); }

void end_if_stop_requested()
{
    if (stop_requested())
        ExitProcess(status_control_c_exit);
}

} // namespace wpan2pcap
