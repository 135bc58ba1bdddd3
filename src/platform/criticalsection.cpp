#include "platform/criticalsection.h"

// TCriticalSection is header-only; this unit keeps the one-pair-per-module layout.
