#pragma once

#include <cstdint>

namespace platform {

// Every way the program lets the main thread's event loop run while it waits goes through here.
// Each function does nothing on any other thread or when there is no application object.

// Dispatches all events pending for the main thread (QCoreApplication's thread).
void ProcessMessages();

// One dispatch round of the main thread's event loop; returns at once when nothing is pending.
void ProcessOneMessage();

// Up to the given number of dispatch rounds, ending early at the first round that finds
// nothing to dispatch.
void ProcessMessageRounds(int rounds);

// Waits until more than the given milliseconds have passed on the local clock, dispatching the
// main thread's messages and sleeping 1 ms per round. Every call keeps its own start and length,
// so a wait nested inside another (through the messages it dispatches) leaves the outer one
// whole. On any other thread it only waits.
void DelayWithMessages(int32_t milliseconds);

}  // namespace platform
