#include "driver/stop_signals.hpp"

#ifdef _WIN32

namespace wpan2pcap {

void install_stop_signals() {}
bool stop_requested() { return false; }
void end_if_stop_requested() {}
stop_point::stop_point() = default;
stop_point::~stop_point() = default;

} // namespace wpan2pcap

#else

#include <atomic>
#include <cerrno>

#include <signal.h>

namespace wpan2pcap {

namespace {

// Lock-free atomics are the only shared state a handler may touch safely.
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

std::atomic<int> requested_signal{0};
std::atomic<bool> at_stop_point{false};

constexpr int stop_signal_numbers[] = {SIGINT, SIGTERM, SIGHUP};

// Only async-signal-safe calls: sigaction and raise. Inside the handler the
// signal is blocked, so the raised one is delivered, with its default action,
// as soon as the handler returns.
void end_by(int signal_number)
{
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(signal_number, &default_action, nullptr);
    raise(signal_number);
}

extern "C" void on_stop_signal(int signal_number)
{
    const int saved_errno = errno;
    int none = 0;
    requested_signal.compare_exchange_strong(none, signal_number);
    if (at_stop_point.load())
        end_by(requested_signal.load());
    errno = saved_errno;
}

} // namespace

void install_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    // Interrupted calls resume: the record loop looks for the request at the
    // next record boundary, and a wait for input ends at a stop point.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (const int number : stop_signal_numbers)
        sigaddset(&action.sa_mask, number);
    for (const int number : stop_signal_numbers) {
        struct sigaction previous {};
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            sigaction(number, &action, nullptr);
    }
}

bool stop_requested() { return requested_signal.load(std::memory_order_relaxed) != 0; }

void end_if_stop_requested()
{
    if (const int number = requested_signal.load(); number != 0)
        end_by(number);
}

stop_point::stop_point()
{
    at_stop_point.store(true);
    end_if_stop_requested();
}

stop_point::~stop_point() { at_stop_point.store(false); }

} // namespace wpan2pcap

#endif
