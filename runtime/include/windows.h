// The Win32 API of the portable runtime: the subset the suite calls, with the
// SDK's names, signatures, structure layouts and status codes.
#pragma once

#include <windef.h>
#include <winnt.h>
#include <winerror.h>
#include <winbase.h>
#include <winreg.h>
#include <winuser.h>
#include <winnls.h>
#include <objbase.h>
