// The update image checked as the transfer will check it, before anything touches the
// device: a wrong file is refused while the device still runs its own system.
#pragma once

#include <string>

#include "device_prep/desktop.h"
#include "engine/file.h"
#include "engine/message_boxes.h"

// True when every check that the transfer runs before its first byte passes. Otherwise
// shows the reason it would be refused and gives false.
bool ImageAccepted(File& image, MessageBoxes& messages);

// The working files in the folder named by TEMP, as the transfer will find them:
// "temp.dat" passes the image's checks (an image that is not there shows "No Image",
// as the transfer does), and a staging file left by an earlier run is deleted, read-
// only or hidden as it may be, so that the transfer can make its own. False, once a
// box has said what is wrong, when either fails.
bool TempFilesReady(Desktop& desktop, FileSystem& files, MessageBoxes& messages);
