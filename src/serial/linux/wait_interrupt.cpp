#include "wait_interrupt.h"

#include <signal.h>
#include <unistd.h>

namespace serial {
namespace {

constexpr long kLookEveryNs = 100'000'000;

void onStopSignal(int) {}

int claimStopSignal()
{
    const int chosen = firstFreeRealTimeSignal();
    if (chosen == 0)
        return 0;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    return sigaction(chosen, &action, nullptr) == 0 ? chosen : 0;
}

}  // namespace

int firstFreeRealTimeSignal()
{
    for (int candidate = SIGRTMIN; candidate <= SIGRTMAX; ++candidate) {
        struct sigaction current {};
        if (sigaction(candidate, nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) == 0 &&
            current.sa_handler == SIG_DFL)
            return candidate;
    }
    return 0;
}

int stopSignal()
{
    static const int chosen = claimStopSignal();
    return chosen;
}

void acceptStopSignal()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, stopSignal());
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void interruptWait(pthread_t thread)
{
    pthread_kill(thread, stopSignal());
}

timespec monotonicSpec(std::chrono::steady_clock::time_point when)
{
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
    return {static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
}

void sleepUntil(std::chrono::steady_clock::time_point when)
{
    const timespec until = monotonicSpec(when);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

EdgeTime edgeTimeNow()
{
    EdgeTime at;
    at.monotonic = std::chrono::steady_clock::now();
    timespec wall{};
    clock_gettime(CLOCK_REALTIME, &wall);
    tm local{};
    localtime_r(&wall.tv_sec, &local);
    at.timeOfDay = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + wall.tv_nsec / 1e9;
    return at;
}

PeriodicLook::PeriodicLook()
{
    sigevent event{};
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = stopSignal();
    event._sigev_un._tid = ::gettid();  // sigev_notify_thread_id, which glibc does not name
    if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0)
        return;
    armed_ = true;
    const itimerspec every{{0, kLookEveryNs}, {0, kLookEveryNs}};
    timer_settime(timer_, 0, &every, nullptr);
}

PeriodicLook::~PeriodicLook()
{
    if (armed_)
        timer_delete(timer_);
}

void PeriodicLook::lookAt(std::chrono::steady_clock::time_point when)
{
    if (!armed_)
        return;
    const itimerspec next{{0, kLookEveryNs}, monotonicSpec(when)};
    timer_settime(timer_, TIMER_ABSTIME, &next, nullptr);
}

}  // namespace serial
