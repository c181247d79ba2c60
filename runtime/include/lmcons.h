// Lengths of network names.
#pragma once

#define UNLEN 256
#define GNLEN 256
#define DNLEN 15
#define CNLEN 15
