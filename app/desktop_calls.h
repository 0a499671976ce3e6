// What the pages do to the PC around the transfer, over the real desktop: the
// temporary files, and the sync software stopped and started again. Results are not
// the pages' concern.
#pragma once

// Deletes the wizard's working files from the temporary folder, which becomes the
// current directory.
void DeleteTempFiles();

// Closes the sync software and ends its processes, so that the device's USB serial
// port is free.
void StopActiveSync();

// Starts the sync software again: by its quoted path, then by its bare path, as the
// wizard always has (the second start finds the first running and ends).
void RestartActiveSync();
