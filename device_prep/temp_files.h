// Removing the wizard's working files from the temporary folder.
#pragma once

#include <cstddef>
#include <string>

#include "device_prep/desktop.h"
#include "engine/download.h"

// The wizard's working files in the temporary folder, besides the engine's image and
// staging file.
constexpr char HELPER_FILE_NAME[] = "Nalvex.exe";  // the device helper, also its name on the device
constexpr char WIZARD_FILE_NAME[] = "ORVANE.exe";  // the wizard's own copy

// The longest temporary folder path, without its terminator (a 260-byte buffer).
constexpr std::size_t TEMP_FOLDER_MAX_CHARS = 259;

// Makes the folder named by TEMP the current directory, where it stays. False, with
// the current directory left as it was, when TEMP is unset, empty, too long or cannot
// be entered.
bool EnterTempFolder(Desktop& desktop);

// The full path of a working file in the folder named by TEMP, the current directory
// left as it is; false when TEMP is unset, empty or too long.
bool TempFilePath(Desktop& desktop, const char* name, std::string& path);

// Enters the folder named by TEMP, which stays the current directory, and deletes
// "Nalvex.exe", "ORVANE.exe", "temp.dat" and "TempFileToDown" there, in this order,
// passing over any that is missing. Deletes nothing when TEMP is unset, too long,
// or cannot be entered: never the four names in some other folder.
void DeleteTempFiles(Desktop& desktop);
