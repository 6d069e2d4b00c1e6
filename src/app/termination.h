#pragma once
// Ending cleanly when asked to from outside. SIGTERM (kill), SIGINT (Ctrl+C) and SIGHUP (the
// session logging out) are turned into a call on the thread that runs the event loop, so the
// program closes its ports and removes its own lock files as closing its window does, instead
// of dying with them held. Needs nothing but QtCore.

#include <functional>

namespace termination {

// Installs the handlers; `onSignal` gets the signal's number, once for every signal raised.
// Call once, after the application object exists; later calls change nothing.
void install(std::function<void(int signalNumber)> onSignal);

} // namespace termination
