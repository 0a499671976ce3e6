// Copying the device helper to the device and starting it there, over RAPI.
// None of these shows a message: the caller decides what the user sees.
#pragma once

#include <string>

#include "device_prep/rapi.h"
#include "engine/file.h"

// Results of ConnectRapi.
constexpr int RAPI_CONNECT_FAILED = 0;     // the attempt did not begin, or the wait failed
constexpr int RAPI_CONNECTED = 1;          // open: the caller ends it with CeRapiUninit
constexpr int RAPI_CONNECT_TIMED_OUT = 2;  // already ended
constexpr int RAPI_CONNECT_ABANDONED = 3;  // already ended

// How long the device gets to answer a connection attempt.
constexpr std::uint32_t RAPI_CONNECT_TIMEOUT_MS = 5000;
// The largest unit of one device write.
constexpr std::uint32_t PUSH_CHUNK_BYTES = 128;

int ConnectRapi(Rapi& rapi);

// Copies the local file, open for reading and positioned at its start, to the
// device file of that name, which ends up exactly the local file's bytes.
// Makes and ends its own connection. 1 when every byte was written, else 0.
int PushFileToDevice(Rapi& rapi, File& localFile, const std::u16string& deviceName);

// Asks the device to start a program. 1 once connected and asked, whatever the
// device answers: it may restart before it does. The connection is left open.
int LaunchOnDevice(Rapi& rapi, const std::u16string& deviceName);
