// What the pages do to the PC around the transfer, over the real desktop: the
// temporary files, the update image, the sync software stopped and started again, the
// device's downloader port, and the desktop held while the transfer runs. Results are
// not the pages' concern, but for the checks that decide the road.
#pragma once

#include "afxwin.h"

// Deletes the wizard's working files from the temporary folder, which becomes the
// current directory.
void DeleteTempFiles();

// Checks the working files in the temporary folder as the transfer will find them:
// "temp.dat" would be sent, and no staging file of an earlier run is in the way.
// False, once a box owned by the page has said why, when they are not.
bool TempFilesReady(CWnd& page);

// Closes the sync software, ends its processes and stops its services, so that the
// device's USB serial port is free; the services it stopped are remembered for
// RestartActiveSync. Services that could not be stopped are named in a box owned by
// page, or by no one when page is null.
void StopActiveSync(CWnd* page);

// Starts the sync software again: by its quoted path, then by its bare path, as the
// wizard always has (the second start finds the first running and ends); then the
// services that StopActiveSync stopped, and only those.
void RestartActiveSync();

// Whether the device's downloader port is there: it opens, or it is refused as in
// use by someone else.
bool DownloaderPortPresent();

// While a transfer runs the PC must not sleep, and a shutdown or log-off must wait:
// keeps the system awake and, where the system takes one (Windows Vista and later),
// gives the page's reason for blocking a shutdown. Ended by ReleaseDesktop, on the
// page's own thread.
void HoldDesktop(CWnd& page, LPCSTR reason);
void ReleaseDesktop(CWnd& page);
