#include "port/Globals.h"

// The drivers built into the program, one line per port kind. A kind that is not listed
// opens as CUnknown.
void RegisterBuiltinPortKinds() noexcept {}
