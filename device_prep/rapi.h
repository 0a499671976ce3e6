// The device's remote API as device preparation sees it: the calls of the sync
// software's RAPI library, in portable types. The Windows build fills it from the
// library at run time; tests use an in-memory device.
//
// Constant names carry a RAPI_ prefix so that they never meet the platform's
// macros of the same meaning where both headers are included.
#pragma once

#include <cstdint>
#include <string>

// A handle on the PC side of the connection: the start-up event or a device file.
using RapiHandle = std::uintptr_t;
constexpr RapiHandle RAPI_INVALID_HANDLE = ~RapiHandle{0};

// The start-up record, field for field. cbSize is the record's size on the
// 32-bit platform, whatever the size of this portable form.
struct RapiInitRecord {
  std::uint32_t cbSize = 0;
  RapiHandle heRapiInit = 0;   // signalled when the connection attempt completes
  std::int32_t hrRapiInit = 0; // the attempt's own result
};
constexpr std::uint32_t RAPI_INIT_RECORD_BYTES = 12;

constexpr std::int32_t RAPI_S_OK = 0;

// Outcomes of waiting on the start-up event, with the platform's wait values.
constexpr std::uint32_t RAPI_WAIT_SIGNALED = 0;
constexpr std::uint32_t RAPI_WAIT_ABANDONED = 0x80;
constexpr std::uint32_t RAPI_WAIT_TIMED_OUT = 0x102;
constexpr std::uint32_t RAPI_WAIT_FAILED = 0xFFFFFFFF;

// Arguments of CeCreateFile.
constexpr std::uint32_t RAPI_GENERIC_WRITE = 0x40000000;
constexpr std::uint32_t RAPI_SHARE_READ_WRITE = 3;
constexpr std::uint32_t RAPI_CREATE_ALWAYS = 2;
constexpr std::uint32_t RAPI_FILE_ATTRIBUTE_NORMAL = 0x80;

class Rapi {
 public:
  virtual ~Rapi() = default;
  // Begins a connection; RAPI_S_OK when the attempt has begun, and the record's
  // heRapiInit then holds the event to wait on.
  virtual std::int32_t CeRapiInitEx(RapiInitRecord& init) = 0;
  // Waits on the start-up event; returns one of the RAPI_WAIT_ values, or any
  // other value the platform gives.
  virtual std::uint32_t WaitForInitEvent(RapiHandle event, std::uint32_t milliseconds) = 0;
  // Ends the connection that CeRapiInitEx began.
  virtual void CeRapiUninit() = 0;
  // Opens a device file (no security attributes, no template); RAPI_INVALID_HANDLE
  // or 0 on failure.
  virtual RapiHandle CeCreateFile(const std::u16string& name, std::uint32_t desiredAccess,
                                  std::uint32_t shareMode, std::uint32_t creationDisposition,
                                  std::uint32_t flagsAndAttributes) = 0;
  // Writes to a device file; written receives the bytes actually written.
  virtual bool CeWriteFile(RapiHandle file, const std::uint8_t* data, std::uint32_t count,
                           std::uint32_t& written) = 0;
  virtual void CeCloseHandle(RapiHandle handle) = 0;
  // Starts a device program with no command line, no attributes, no inheritance,
  // flags 0, no environment, folder or startup information, without waiting for it.
  // The process and thread handles it yields stay with the platform.
  virtual bool CeCreateProcess(const std::u16string& applicationName) = 0;
};
