#pragma once

// Opens the log in the folder "log" beside the executable. Where that cannot
// be written (a standard user under Program Files: the manifest's asInvoker
// turns file virtualization off), it opens %LOCALAPPDATA%\orvpresd\log
// instead, and its first record there names the folder and the reason.
// Where neither can be written, the daemon runs without a log.
void openLog();
