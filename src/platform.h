// The one door to the Win32 API. On Windows it is <windows.h>; on other
// systems it is our in-process stand-in, which declares the same names with
// the Windows SDK's values so host unit tests can run the program's code.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include "win32_standin.h"
#endif
