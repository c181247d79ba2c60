// Security support provider interface: only the extended user names.
#pragma once

#include <secext.h>
