#pragma once

namespace serial {

// The signal that interrupts a watcher's blocked wait: the first real-time
// signal nobody has claimed, given an empty handler without SA_RESTART, so
// that the wait fails with EINTR and a stray signal of that number is
// harmless. Chosen and installed on the first call, which start-up makes;
// 0 when every real-time signal is taken.
int stopSignal();

// The first real-time signal whose handler is still the default; 0 when none is.
int firstFreeRealTimeSignal();

}  // namespace serial
