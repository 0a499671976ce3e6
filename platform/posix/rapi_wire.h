// The device's remote-API calls on the wire, in the newer message layout (OS 5.1 and
// later), without sockets. Every request and every reply is one frame: a u32 count of
// the bytes that follow, then those bytes. A request is its command id and its
// arguments; a reply is the device's lastError, the call's result and its out-data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The older layout (up to OS 5.0) is not spoken.
bool SpeaksNewerLayout(std::uint32_t osMajor, std::uint32_t osMinor);

// The largest reply frame taken from the device; the calls here answer in under 300 bytes.
constexpr std::uint32_t REPLY_LIMIT = 4096;
// The largest unit of one WriteFile request.
constexpr std::uint32_t WRITE_CHUNK_LIMIT = 64 * 1024;

constexpr std::uint32_t DEVICE_INVALID_HANDLE = 0xFFFFFFFF;

// Error codes the device reports as lastError (Win32 codes, and the one HRESULT a
// refused program signature gives).
constexpr std::uint32_t DEVICE_ERROR_FILE_NOT_FOUND = 2;
constexpr std::uint32_t DEVICE_ERROR_PATH_NOT_FOUND = 3;
constexpr std::uint32_t DEVICE_ERROR_ACCESS_DENIED = 5;
constexpr std::uint32_t DEVICE_ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr std::uint32_t DEVICE_ERROR_BAD_FORMAT = 11;
constexpr std::uint32_t DEVICE_ERROR_OUTOFMEMORY = 14;
constexpr std::uint32_t DEVICE_ERROR_WRITE_PROTECT = 19;
constexpr std::uint32_t DEVICE_ERROR_SHARING_VIOLATION = 32;
constexpr std::uint32_t DEVICE_ERROR_INVALID_PARAMETER = 87;
constexpr std::uint32_t DEVICE_ERROR_DISK_FULL = 112;
constexpr std::uint32_t DEVICE_ERROR_INVALID_NAME = 123;
constexpr std::uint32_t DEVICE_ERROR_INVALID_EXE_SIGNATURE = 191;
constexpr std::uint32_t DEVICE_ERROR_EXE_MARKED_INVALID = 192;
constexpr std::uint32_t DEVICE_ERROR_BAD_EXE_FORMAT = 193;
constexpr std::uint32_t DEVICE_NTE_BAD_SIGNATURE = 0x80090006;

std::vector<std::uint8_t> CreateFileRequest(const std::u16string& name, std::uint32_t desiredAccess,
                                            std::uint32_t shareMode, std::uint32_t creationDisposition,
                                            std::uint32_t flagsAndAttributes);
std::vector<std::uint8_t> WriteFileRequest(std::uint32_t handle, const std::uint8_t* data, std::uint32_t count);
std::vector<std::uint8_t> CloseHandleRequest(std::uint32_t handle);
// No command line, flags 0, nothing else.
std::vector<std::uint8_t> CreateProcessRequest(const std::u16string& applicationName);
std::vector<std::uint8_t> PowerStatusRequest(bool refresh);
std::vector<std::uint8_t> VersionRequest();

// The part of a reply every call has. result is the call's return value: a BOOL, or
// the handle of CreateFile.
struct RapiReply {
  std::uint32_t lastError = 0;
  std::uint32_t result = 0;
};

struct PowerStatus {
  std::uint8_t acLineStatus = 0;  // 0 offline, 1 online, 2 backup power, 0xFF unknown
  std::uint8_t batteryFlag = 0;   // bits: 0x01 high, POWER_FLAG_LOW, POWER_FLAG_CRITICAL, 0x08 charging,
                                  // 0x80 no battery; 0xFF unknown
  std::uint8_t batteryLifePercent = 0;  // 0 to 100, 0xFF unknown
  std::uint32_t batteryLifeTime = 0;    // seconds, 0xFFFFFFFF unknown
  std::uint32_t batteryFullLifeTime = 0;
  std::uint8_t backupBatteryFlag = 0;
  std::uint8_t backupBatteryLifePercent = 0;
  std::uint32_t backupBatteryLifeTime = 0;
  std::uint32_t backupBatteryFullLifeTime = 0;
};
constexpr std::uint8_t AC_LINE_OFFLINE = 0;
constexpr std::uint8_t AC_LINE_ONLINE = 1;
constexpr std::uint8_t POWER_UNKNOWN = 0xFF;
constexpr std::uint8_t POWER_FLAG_LOW = 0x02;
constexpr std::uint8_t POWER_FLAG_CRITICAL = 0x04;

struct OsVersionInfo {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t build = 0;
  std::uint32_t platformId = 0;  // 3: Windows CE
  std::string servicePack;       // printable UTF-8
};

// Reply parsers: each takes a reply frame's payload, and is false when it is too short
// for its call, or a length in it points past its end. Bytes beyond what the call
// needs are ignored.
// CreateFile, CloseHandle and CreateProcess: lastError and the result alone (the process
// information that follows a started program's result is not needed).
bool ParseReply(const std::uint8_t* payload, std::size_t size, RapiReply& reply);
bool ParseWriteFileReply(const std::uint8_t* payload, std::size_t size, RapiReply& reply, std::uint32_t& written);
bool ParsePowerStatusReply(const std::uint8_t* payload, std::size_t size, RapiReply& reply, PowerStatus& status);
bool ParseVersionReply(const std::uint8_t* payload, std::size_t size, RapiReply& reply, OsVersionInfo& version);
