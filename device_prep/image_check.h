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

// The same for "temp.dat" in the folder named by TEMP, where the transfer takes it
// from; an image that is not there shows "No Image", as the transfer does.
bool TempImageAccepted(Desktop& desktop, FileSystem& files, MessageBoxes& messages);
