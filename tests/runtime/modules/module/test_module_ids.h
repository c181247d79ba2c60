// Ids of the test module's resources, shared by its script and the tests.
#pragma once

#define IDS_MODULE_TITLE 200
#define IDS_MODULE_ONLY (IDS_MODULE_TITLE + 1)
#define MSG_MODULE_GREETING 0x20000001
