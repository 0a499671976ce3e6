// What the pages do to the PC around the transfer, over the real desktop: the
// temporary files, the update image, the sync software stopped and started again, and
// the desktop held while the transfer runs. Results are not the pages' concern, but
// for the image's check.
#pragma once

#include "afxwin.h"

// Deletes the wizard's working files from the temporary folder, which becomes the
// current directory.
void DeleteTempFiles();

// Checks "temp.dat" in the temporary folder as the transfer will; false, once a box
// owned by the page has said why, when it is missing or would be refused.
bool TempImageAccepted(CWnd& page);

// Closes the sync software and ends its processes, so that the device's USB serial
// port is free.
void StopActiveSync();

// Starts the sync software again: by its quoted path, then by its bare path, as the
// wizard always has (the second start finds the first running and ends).
void RestartActiveSync();

// While a transfer runs the PC must not sleep, and a shutdown or log-off must wait:
// keeps the system awake and, where the system takes one (Windows Vista and later),
// gives the page's reason for blocking a shutdown. Ended by ReleaseDesktop, on the
// page's own thread.
void HoldDesktop(CWnd& page, LPCSTR reason);
void ReleaseDesktop(CWnd& page);
