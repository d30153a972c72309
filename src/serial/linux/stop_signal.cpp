#include "stop_signal.h"

#include <signal.h>

namespace serial {
namespace {

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

}  // namespace serial
