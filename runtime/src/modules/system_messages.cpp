// The system's message table: the texts FormatMessageA gives with
// FORMAT_MESSAGE_FROM_SYSTEM for the status codes the runtime reports, in
// US English, as Windows words them.
#include "core/id_table.h"
#include "modules/resources.h"

namespace w32rt {

namespace {

struct SystemMessage {
    DWORD id;
    const char* text;
};

// Sorted by id (HRESULTs, being negative as LONG, come last as DWORDs).
constexpr SystemMessage kMessages[] = {
    {0, "The operation completed successfully.\r\n"},
    {1, "Incorrect function.\r\n"},
    {2, "The system cannot find the file specified.\r\n"},
    {3, "The system cannot find the path specified.\r\n"},
    {4, "The system cannot open the file.\r\n"},
    {5, "Access is denied.\r\n"},
    {6, "The handle is invalid.\r\n"},
    {8, "Not enough storage is available to process this command.\r\n"},
    {11, "An attempt was made to load a program with an incorrect format.\r\n"},
    {12, "The access code is invalid.\r\n"},
    {13, "The data is invalid.\r\n"},
    {14, "Not enough storage is available to complete this operation.\r\n"},
    {15, "The system cannot find the drive specified.\r\n"},
    {18, "There are no more files.\r\n"},
    {19, "The media is write protected.\r\n"},
    {21, "The device is not ready.\r\n"},
    {24, "The program issued a command but the command length is incorrect.\r\n"},
    {25, "The drive cannot locate a specific area or track on the disk.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {31, "A device attached to the system is not functioning.\r\n"},
    {32, "The process cannot access the file because it is being used by another process.\r\n"},
    {33, "The process cannot access the file because another process has locked a portion of the file.\r\n"},
    {38, "Reached the end of the file.\r\n"},
    {39, "The disk is full.\r\n"},
    {50, "The request is not supported.\r\n"},
    {80, "The file exists.\r\n"},
    {82, "The directory or file cannot be created.\r\n"},
    {87, "The parameter is incorrect.\r\n"},
    {109, "The pipe has been ended.\r\n"},
    {110, "The system cannot open the device or file specified.\r\n"},
    {111, "The file name is too long.\r\n"},
    {112, "There is not enough space on the disk.\r\n"},
    {120, "This function is not supported on this system.\r\n"},
    {121, "The semaphore timeout period has expired.\r\n"},
    {122, "The data area passed to a system call is too small.\r\n"},
    {123, "The filename, directory name, or volume label syntax is incorrect.\r\n"},
    {124, "The system call level is not correct.\r\n"},
    {126, "The specified module could not be found.\r\n"},
    {127, "The specified procedure could not be found.\r\n"},
    {131, "An attempt was made to move the file pointer before the beginning of the file.\r\n"},
    {145, "The directory is not empty.\r\n"},
    {158, "The segment is already unlocked.\r\n"},
    {160, "One or more arguments are not correct.\r\n"},
    {161, "The specified path is invalid.\r\n"},
    {167, "Unable to lock a region of a file.\r\n"},
    {170, "The requested resource is in use.\r\n"},
    {183, "Cannot create a file when that file already exists.\r\n"},
    {186, "The flag passed is not correct.\r\n"},
    {193, "%1 is not a valid Win32 application.\r\n"},
    {203, "The system could not find the environment option that was entered.\r\n"},
    {206, "The filename or extension is too long.\r\n"},
    {223, "The file size exceeds the limit allowed and cannot be saved.\r\n"},
    {234, "More data is available.\r\n"},
    {258, "The wait operation timed out.\r\n"},
    {259, "No more data is available.\r\n"},
    {267, "The directory name is invalid.\r\n"},
    {288, "Attempt to release mutex not owned by caller.\r\n"},
    {298, "Too many posts were made to a semaphore.\r\n"},
    {317, "The system cannot find message text for message number 0x%1 in the message file for %2.\r\n"},
    {487, "Attempt to access invalid address.\r\n"},
    {534, "Arithmetic result exceeded 32 bits.\r\n"},
    {997, "Overlapped I/O operation is in progress.\r\n"},
    {998, "Invalid access to memory location.\r\n"},
    {1004, "Invalid flags.\r\n"},
    {1006, "The volume for a file has been externally altered so that the opened file is no longer valid.\r\n"},
    {1008, "An attempt was made to reference a token that does not exist.\r\n"},
    {1011, "The configuration registry key could not be opened.\r\n"},
    {1012, "The configuration registry key could not be read.\r\n"},
    {1013, "The configuration registry key could not be written.\r\n"},
    {1014,
     "One of the files in the registry database had to be recovered by use of a log or alternate copy. The "
     "recovery was successful.\r\n"},
    {1015,
     "The registry is corrupted. The structure of one of the files containing registry data is corrupted, or the "
     "system's memory image of the file is corrupted, or the file could not be recovered because the alternate "
     "copy or log was absent or corrupted.\r\n"},
    {1016,
     "An I/O operation initiated by the registry failed unrecoverably. The registry could not read in, or write "
     "out, or flush, one of the files that contain the system's image of the registry.\r\n"},
    {1018, "Illegal operation attempted on a registry key that has been marked for deletion.\r\n"},
    {1020, "Cannot create a symbolic link in a registry key that already has subkeys or values.\r\n"},
    {1113, "No mapping for the Unicode character exists in the target multi-byte code page.\r\n"},
    {1168, "Element not found.\r\n"},
    {1223, "The operation was canceled by the user.\r\n"},
    {1309,
     "An attempt has been made to operate on an impersonation token by a thread that is not currently "
     "impersonating a client.\r\n"},
    {1314, "A required privilege is not held by the client.\r\n"},
    {1332, "No mapping between account names and security IDs was done.\r\n"},
    {1338, "The security descriptor structure is invalid.\r\n"},
    {1349, "The type of the token is inappropriate for its attempted use.\r\n"},
    {1368, "Unable to impersonate using a named pipe until data has been read from that pipe.\r\n"},
    {1400, "Invalid window handle.\r\n"},
    {1444, "Invalid thread identifier.\r\n"},
    {1450, "Insufficient system resources exist to complete the requested service.\r\n"},
    {1460, "This operation returned because the timeout period expired.\r\n"},
    {1812, "The specified image file did not contain a resource section.\r\n"},
    {1813, "The specified resource type cannot be found in the image file.\r\n"},
    {1814, "The specified resource name cannot be found in the image file.\r\n"},
    {1815, "The specified resource language ID cannot be found in the image file.\r\n"},
    {4200, "The GUID passed was not recognized as valid by a WMI data provider.\r\n"},
    {4201, "The instance name passed was not recognized as valid by a WMI data provider.\r\n"},
    {4206, "The WMI data block or event notification has already been enabled.\r\n"},
    {4317, "The operation identifier is not valid.\r\n"},
    {7007,
     "The requested operation cannot be completed because the terminal connection is currently busy processing a "
     "connect, disconnect, reset, or delete operation.\r\n"},
    {0x80004001, "Not implemented\r\n"},
    {0x80004002, "No such interface supported\r\n"},
    {0x80004003, "Invalid pointer\r\n"},
    {0x80004004, "Operation aborted\r\n"},
    {0x80004005, "Unspecified error\r\n"},
    {0x8000FFFF, "Catastrophic failure\r\n"},
    {0x80010106, "Cannot change thread mode after it is set.\r\n"},
};

static_assert(ids_ascending(kMessages), "the message table is searched by halves");

}  // namespace

const char* system_message_text(DWORD id) {
    const SystemMessage* found = find_by_id(kMessages, id);
    return found != nullptr ? found->text : nullptr;
}

}  // namespace w32rt
