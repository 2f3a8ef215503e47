// The tool's exit codes, all in one place. 0 is success; 1 to 31 are the library's status
// codes (loric.h names them), and the tool exits with the same code for the same failure it
// finds itself before a call: LORIC_ERR_INVALID_PARAMETER for a wrong argument,
// LORIC_ERR_FILE_OPEN for a file it cannot use, LORIC_ERR_DEVICE_NOT_FOUND when no device is
// found, LORIC_ERR_CANCELLED after a Ctrl-C (or SIGTERM, SIGHUP) or a "no". The codes below have no
// status code of their own.
#pragma once

#include "loric.h"

namespace tool {

enum ExitCode : int {
    kExitOk = LORIC_OK,
    kExitUnexpected = 1,       // an exception the tool did not expect (shares 1 with the driver's)
    kExitVerifyFailed = 32,    // read-back differs from the file
    kExitBadDescription = 33,  // the JSON configuration description is not valid
    kExitDeviceBusy = 34,      // another job holds the device (device_lock.h); nothing was done
    kExitBackupFailed = 35,  // a backup taken before an erase failed its check: nothing was erased
    kExitConnectionLost = 36,  // the driver or the serial adapter stopped answering mid-command
    kExitSomeFailed = 37,      // a station run in which one or more boards failed
    kExitUsage = 64,           // the command line is wrong
};

}  // namespace tool
