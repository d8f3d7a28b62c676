#pragma once
// Windows-shaped scalar names, so the port and engine code reads as its design does.
#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BYTE = std::uint8_t;
using ULONGLONG = std::uint64_t;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

inline constexpr DWORD INFINITE = 0xFFFFFFFFu;
