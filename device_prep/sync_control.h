// Stopping the sync software so that the device's USB serial port becomes free,
// and starting it again when the wizard ends. Plain functions without state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device_prep/desktop.h"
#include "engine/message_boxes.h"

// How long one window gets to handle WM_CLOSE.
constexpr std::uint32_t CLOSE_WINDOW_TIMEOUT_MS = 2000;
// The most process ids examined in one sweep (a 4096-byte id array).
constexpr std::size_t PROCESS_ID_CAPACITY = 1024;
// The exit code a running process reports; a process is ended with the code it
// reports, and with this one when its code cannot be read.
constexpr std::uint32_t RUNNING_EXIT_CODE = 259;
// The longest command line, without its terminator (a 261-byte buffer).
constexpr std::size_t COMMAND_LINE_MAX_CHARS = 260;
// The longest registered program path, without its terminator (260 bytes offered).
constexpr std::size_t APP_PATH_MAX_CHARS = 259;

// Sends WM_CLOSE to the first top-level window of the class, if there is one.
// 1 when no window of the class exists afterwards, else 0.
int CloseWindowByClass(Desktop& desktop, const char* className);

// Closes the sync software's windows and asks its manager to quit. 1 when the
// closing checks at the end all passed, else 0.
int ShutdownActiveSync(Desktop& desktop);

// Ends the process if its first module is one of the sync software's programs: those
// of Windows 2000 and XP, and the user programs of its successor on Windows Vista and
// later.
void KillIfActiveSyncProcess(Desktop& desktop, std::uint32_t processId);

// Ends every running process of the sync software's programs.
void KillActiveSyncProcesses(Desktop& desktop);

// The services through which the sync software of Windows Vista and later does its
// work, in the order they are stopped; they are started again in the reverse order.
constexpr const char* SYNC_SERVICES[] = {"WcesComm", "RapiMgr"};
// How long a service gets to stop.
constexpr std::uint32_t SERVICE_STOP_TIMEOUT_MS = 15000;

// Whether any of the sync software's services runs.
bool SyncServiceRuns(Desktop& desktop);

// Stops each of the sync software's services that runs. A service whose stop is
// refused is asked once more after the others, as it may be one the others need.
// Adds each service it stopped to stopped (once); returns the names of those that
// still run.
std::vector<std::string> StopSyncServices(Desktop& desktop, std::vector<std::string>& stopped);

// Starts again, in the reverse order, the services that StopSyncServices stopped, and
// only those; stopped is empty afterwards.
void StartSyncServices(Desktop& desktop, std::vector<std::string>& stopped);

// Starts the registered manager program, its path in double quotes followed
// directly by the arguments (which may be null). Nonzero when a process was
// started; 0 when none is registered or the command line would not fit.
int StartActiveSyncQuoted(Desktop& desktop, const char* arguments);

// Starts the registered manager program by its bare path, reporting each
// failure in a message box.
void StartActiveSync(Desktop& desktop, MessageBoxes& boxes);
