// Removing the wizard's working files from the temporary folder.
#pragma once

#include <cstddef>

#include "device_prep/desktop.h"

// The longest temporary folder path, without its terminator (a 260-byte buffer).
constexpr std::size_t TEMP_FOLDER_MAX_CHARS = 259;

// Enters the folder named by TEMP, which stays the current directory, and deletes
// "Nalvex.exe", "ORVANE.exe", "temp.dat" and "TempFileToDown" there, in this order,
// passing over any that is missing. Deletes nothing when TEMP is unset, too long,
// or cannot be entered: never the four names in some other folder.
void DeleteTempFiles(Desktop& desktop);
