// Start-up and run control, reasons: the one line that follows a failure's
// error lines and says why it failed, in the system's words, and what to do.
#pragma once

// After a load that failed on the file itself (it could not be looked at,
// opened, read or closed): names the file and the system's reason. Nothing
// after any other outcome of the load.
void explain_load_failure(const char* path);

// After the converter between the two encodings could not be opened (error
// is the open's errno): names each encoding that iconv does not know and
// where it came from, or else the pair that it cannot convert.
void explain_converter_failure(int error);
