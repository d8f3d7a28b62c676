#pragma once
// The names of the result codes a run can end with, and a sentence for each, for people
// and scripts.
#include <string>

#include "platform/Types.h"

// "ERROR_SUCCESS", "ERROR_ALREADY_REGISTERED", ...; a code the program made up for a box
// is named after its low part with "APP_ERROR_FLAG|" in front ("APP_ERROR_FLAG|4319"
// when that part has no name); any other code "SYSTEM_ERROR_<n>". Never empty.
std::string ResultName(DWORD dwResult);
// One sentence: what the result means and what to do next. Never empty.
std::string ResultSentence(DWORD dwResult);
