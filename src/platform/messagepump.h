#pragma once

namespace platform {

// Dispatches all events pending for the main thread (QCoreApplication's thread). Does nothing
// on any other thread or when there is no application object.
void ProcessMessages();

// One dispatch round of the main thread's event loop; returns at once when nothing is pending.
// Does nothing on any other thread or when there is no application object.
void ProcessOneMessage();

}  // namespace platform
