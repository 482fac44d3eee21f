// Stop signals on POSIX systems: SIGINT, SIGTERM and SIGHUP, and a timer that
// keeps waking blocked calls once a stop has come.

#include "system/stop_signals.hpp"

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <ctime>

#include <signal.h>

namespace wpan2pcap {

namespace {

// Lock-free atomics are the only shared state a handler may touch safely.
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<std::int64_t>::is_always_lock_free);

std::atomic<int> requested_signal{0};
std::atomic<std::int64_t> stop_time_ns{0};

// Interrupts blocking calls after a stop. Its signal only wakes the process.
timer_t wake_timer;
bool have_wake_timer = false;
constexpr int wake_signal = SIGALRM;
constexpr long wake_interval_ns = 10'000'000;

constexpr int stop_signal_numbers[] = {SIGINT, SIGTERM, SIGHUP};

std::int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Only async-signal-safe calls: clock_gettime and timer_settime.
extern "C" void on_stop_signal(int signal_number)
{
    const int saved_errno = errno;
    int none = 0;
    if (requested_signal.compare_exchange_strong(none, signal_number)) {
        stop_time_ns.store(monotonic_ns());
        if (have_wake_timer) {
            itimerspec every{};
            every.it_interval.tv_nsec = wake_interval_ns;
            every.it_value.tv_nsec = wake_interval_ns;
            timer_settime(wake_timer, 0, &every, nullptr);
        }
    }
    errno = saved_errno;
}

extern "C" void on_wake_signal(int) {}

void install(int number, void (*handler)(int), const sigset_t& mask)
{
    struct sigaction action {};
    action.sa_handler = handler;
    // No SA_RESTART: a blocked call returns EINTR, and its caller looks for a stop.
    action.sa_flags = 0;
    action.sa_mask = mask;
    sigaction(number, &action, nullptr);
}

} // namespace

void install_stop_signals()
{
    sigset_t mask;
    sigemptyset(&mask);
    for (const int number : stop_signal_numbers)
        sigaddset(&mask, number);
    install(wake_signal, on_wake_signal, mask);
    // Left blocked by the parent, the timer could wake nothing.
    sigset_t wake_only;
    sigemptyset(&wake_only);
    sigaddset(&wake_only, wake_signal);
    sigprocmask(SIG_UNBLOCK, &wake_only, nullptr);
    sigevent wake{};
    wake.sigev_notify = SIGEV_SIGNAL;
    wake.sigev_signo = wake_signal;
    have_wake_timer = timer_create(CLOCK_MONOTONIC, &wake, &wake_timer) == 0;
    for (const int number : stop_signal_numbers) {
        struct sigaction previous {};
        if (sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            install(number, on_stop_signal, mask);
    }
}

bool stop_requested() { return requested_signal.load(std::memory_order_relaxed) != 0; }

std::chrono::milliseconds stop_grace_left()
{
    if (!stop_requested())
        return std::chrono::milliseconds::zero();
    const std::int64_t left_ns =
        stop_time_ns.load() + std::chrono::nanoseconds(stop_grace).count() - monotonic_ns();
    return std::chrono::milliseconds(left_ns > 0 ? (left_ns + 999'999) / 1'000'000 : 0);
}

bool stop_grace_over() { return stop_requested() && stop_grace_left() == std::chrono::milliseconds::zero(); }

void end_if_stop_requested()
{
    const int number = requested_signal.load();
    if (number == 0)
        return;
    if (have_wake_timer)
        timer_delete(wake_timer);
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigaction(number, &default_action, nullptr);
    sigset_t unblocked;
    sigemptyset(&unblocked);
    sigaddset(&unblocked, number);
    sigprocmask(SIG_UNBLOCK, &unblocked, nullptr);
    raise(number);
}

} // namespace wpan2pcap
