#pragma once
// The names of the result codes a run can end with, for people and scripts.
#include <string>

#include "platform/Types.h"

// "ERROR_SUCCESS", "ERROR_ALREADY_REGISTERED", ...; a code the program made up for a box
// is named after its low part with "APP_ERROR_FLAG|" in front; an unknown code gives
// "UNKNOWN".
std::string ResultName(DWORD dwResult);
