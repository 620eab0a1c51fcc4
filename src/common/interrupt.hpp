#pragma once

namespace velmar {

// Thrown by CheckInterrupt when a pending signal (Ctrl-C) asks the current
// call to stop. The host's error (KeyboardInterrupt) is already set; the
// binding layer lets it through unchanged.
struct Interrupted {};

// The host installs a check that runs pending signal handlers and returns
// true when one of them asks to stop. Without a host check nothing stops.
using InterruptCheck = bool (*)();
void SetInterruptCheck(InterruptCheck check);

// Long operations call this between reads and between child processes.
// Throws Interrupted when the host check reports a pending interrupt.
void CheckInterrupt();

}  // namespace velmar
