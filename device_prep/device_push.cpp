#include "device_prep/device_push.h"

#include <algorithm>
#include <cstdint>

namespace {

// Ends a connection that ConnectRapi opened, on every way out.
class RapiSession {
 public:
  explicit RapiSession(Rapi& rapi) : rapi_(rapi) {}
  ~RapiSession() { rapi_.CeRapiUninit(); }
  RapiSession(const RapiSession&) = delete;
  RapiSession& operator=(const RapiSession&) = delete;

 private:
  Rapi& rapi_;
};

// Closes an open device file, on every way out.
class DeviceFile {
 public:
  DeviceFile(Rapi& rapi, RapiHandle handle) : rapi_(rapi), handle_(handle) {}
  ~DeviceFile() { rapi_.CeCloseHandle(handle_); }
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;
  RapiHandle handle() const { return handle_; }

 private:
  Rapi& rapi_;
  RapiHandle handle_;
};

}  // namespace

int ConnectRapi(Rapi& rapi) {
  RapiInitRecord init;
  init.cbSize = RAPI_INIT_RECORD_BYTES;
  if (rapi.CeRapiInitEx(init) != RAPI_S_OK) return RAPI_CONNECT_FAILED;

  // The signal alone counts as connected; the attempt's own result is not consulted.
  switch (rapi.WaitForInitEvent(init.heRapiInit, RAPI_CONNECT_TIMEOUT_MS)) {
    case RAPI_WAIT_SIGNALED:
      return RAPI_CONNECTED;
    case RAPI_WAIT_TIMED_OUT:
      rapi.CeRapiUninit();
      return RAPI_CONNECT_TIMED_OUT;
    case RAPI_WAIT_ABANDONED:
      rapi.CeRapiUninit();
      return RAPI_CONNECT_ABANDONED;
    default:
      return RAPI_CONNECT_FAILED;
  }
}

int PushFileToDevice(Rapi& rapi, File& localFile, const std::u16string& deviceName) {
  // The length is taken before any connection is made.
  std::uint64_t remaining = 0;
  if (!localFile.GetLength(remaining)) return 0;

  if (ConnectRapi(rapi) != RAPI_CONNECTED) return 0;
  RapiSession session(rapi);

  // Created or cut to length 0, so that no tail of an older, longer copy survives.
  const RapiHandle handle = rapi.CeCreateFile(deviceName, RAPI_GENERIC_WRITE, RAPI_SHARE_READ_WRITE,
                                              RAPI_CREATE_ALWAYS, RAPI_FILE_ATTRIBUTE_NORMAL);
  if (handle == RAPI_INVALID_HANDLE || handle == 0) return 0;
  DeviceFile deviceFile(rapi, handle);

  std::uint8_t buffer[PUSH_CHUNK_BYTES];
  while (remaining > 0) {
    const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, PUSH_CHUNK_BYTES));
    // A short read would send stale buffer bytes as file content.
    if (!ReadExactly(localFile, buffer, chunk)) return 0;
    std::uint32_t written = 0;
    if (!rapi.CeWriteFile(deviceFile.handle(), buffer, chunk, written) || written != chunk) return 0;
    remaining -= chunk;
  }
  return 1;
}

int LaunchOnDevice(Rapi& rapi, const std::u16string& deviceName) {
  if (ConnectRapi(rapi) != RAPI_CONNECTED) return 0;
  // The helper restarts the device into its downloader and may drop the
  // connection before the answer comes back, so the answer proves nothing.
  static_cast<void>(rapi.CeCreateProcess(deviceName));
  return 1;
}
