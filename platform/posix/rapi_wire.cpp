#include "rapi_wire.h"

#include "sync_wire.h"

namespace {

constexpr std::uint32_t CMD_CREATE_FILE = 0x16;
constexpr std::uint32_t CMD_WRITE_FILE = 0x18;
constexpr std::uint32_t CMD_CLOSE_HANDLE = 0x19;
constexpr std::uint32_t CMD_CREATE_PROCESS = 0x2A;
constexpr std::uint32_t CMD_GET_VERSION_EX = 0x43;
constexpr std::uint32_t CMD_GET_SYSTEM_POWER_STATUS_EX = 0x49;

constexpr std::size_t POWER_STATUS_BYTES = 24;
// Major, minor, build and platform follow the structure's own size word.
constexpr std::uint32_t VERSION_FIXED_BYTES = 20;
constexpr std::uint32_t SERVICE_PACK_CHARS = 128;

// A request's payload: its command id, then its arguments.
class Request {
 public:
  explicit Request(std::uint32_t command) { payload_.U32(command); }
  Request& U32(std::uint32_t value) {
    payload_.U32(value);
    return *this;
  }
  // Its byte count including the terminator, then the characters and the terminator.
  Request& String(const std::u16string& text) {
    payload_.U32(static_cast<std::uint32_t>((text.size() + 1) * 2));
    for (char16_t c : text) payload_.U16(c);
    payload_.U16(0);
    return *this;
  }
  Request& Bytes(const std::uint8_t* data, std::uint32_t count) {
    payload_.U32(count);
    payload_.Bytes(data, count);
    return *this;
  }
  std::vector<std::uint8_t> Frame() const {
    WireWriter frame;
    frame.U32(static_cast<std::uint32_t>(payload_.Data().size()));
    frame.Bytes(payload_.Data().data(), payload_.Data().size());
    return frame.Data();
  }

 private:
  WireWriter payload_;
};

// Of a reply: lastError, then the call's result.
bool ReadHead(WireReader& in, RapiReply& reply) { return in.U32(reply.lastError) && in.U32(reply.result); }

void ReadPowerStatus(const std::uint8_t* at, PowerStatus& status) {
  status.acLineStatus = at[0];
  status.batteryFlag = at[1];
  status.batteryLifePercent = at[2];
  status.batteryLifeTime = LoadU32(at + 4);
  status.batteryFullLifeTime = LoadU32(at + 8);
  status.backupBatteryFlag = at[13];
  status.backupBatteryLifePercent = at[14];
  status.backupBatteryLifeTime = LoadU32(at + 16);
  status.backupBatteryFullLifeTime = LoadU32(at + 20);
}

}  // namespace

bool SpeaksNewerLayout(std::uint32_t osMajor, std::uint32_t osMinor) {
  return osMajor > 5 || (osMajor == 5 && osMinor >= 1);
}

std::vector<std::uint8_t> CreateFileRequest(const std::u16string& name, std::uint32_t desiredAccess,
                                            std::uint32_t shareMode, std::uint32_t creationDisposition,
                                            std::uint32_t flagsAndAttributes) {
  // No security attributes are sent; the template is always none.
  return Request(CMD_CREATE_FILE)
      .String(name)
      .U32(desiredAccess)
      .U32(shareMode)
      .U32(creationDisposition)
      .U32(flagsAndAttributes)
      .U32(0)
      .Frame();
}

std::vector<std::uint8_t> WriteFileRequest(std::uint32_t handle, const std::uint8_t* data, std::uint32_t count) {
  return Request(CMD_WRITE_FILE).U32(handle).Bytes(data, count).Frame();
}

std::vector<std::uint8_t> CloseHandleRequest(std::uint32_t handle) {
  return Request(CMD_CLOSE_HANDLE).U32(handle).Frame();
}

std::vector<std::uint8_t> CreateProcessRequest(const std::u16string& applicationName) {
  Request request(CMD_CREATE_PROCESS);
  // The command line is none (a null string is its zero length alone); then process and
  // thread attributes, inheritance, the flags, environment, folder and start-up record.
  request.String(applicationName).U32(0);
  for (int i = 0; i < 7; ++i) request.U32(0);
  return request.Frame();
}

std::vector<std::uint8_t> PowerStatusRequest(bool refresh) {
  return Request(CMD_GET_SYSTEM_POWER_STATUS_EX).U32(refresh ? 1 : 0).Frame();
}

std::vector<std::uint8_t> VersionRequest() { return Request(CMD_GET_VERSION_EX).Frame(); }

bool ParseReply(const std::uint8_t* payload, std::size_t size, RapiReply& reply) {
  WireReader in(payload, size);
  return ReadHead(in, reply);
}

bool ParseWriteFileReply(const std::uint8_t* payload, std::size_t size, RapiReply& reply, std::uint32_t& written) {
  WireReader in(payload, size);
  return ReadHead(in, reply) && in.U32(written);
}

bool ParsePowerStatusReply(const std::uint8_t* payload, std::size_t size, RapiReply& reply, PowerStatus& status) {
  // [uncertain] One reading has no lastError in this reply alone: a reply too short to
  // hold one is read as the result and the structure.
  WireReader in(payload, size);
  const std::uint8_t* at = nullptr;
  if (size < 4 + 4 + POWER_STATUS_BYTES) {
    reply.lastError = 0;
    if (!in.U32(reply.result)) return false;
  } else if (!ReadHead(in, reply)) {
    return false;
  }
  if (!in.Take(POWER_STATUS_BYTES, at)) return false;
  ReadPowerStatus(at, status);
  return true;
}

bool ParseVersionReply(const std::uint8_t* payload, std::size_t size, RapiReply& reply, OsVersionInfo& version) {
  WireReader in(payload, size);
  std::uint32_t infoBytes = 0;
  const std::uint8_t* info = nullptr;
  if (!ReadHead(in, reply) || !in.U32(infoBytes) || !in.Take(infoBytes, info)) return false;
  // A failed call may bring no structure; a successful one needs its fixed part.
  if (reply.result == 0) return true;
  if (infoBytes < VERSION_FIXED_BYTES) return false;
  version.major = LoadU32(info + 4);
  version.minor = LoadU32(info + 8);
  version.build = LoadU32(info + 12);
  version.platformId = LoadU32(info + 16);
  std::u16string servicePack;
  for (std::uint32_t i = 0; i < SERVICE_PACK_CHARS && VERSION_FIXED_BYTES + 2 * i + 2 <= infoBytes; ++i) {
    const std::uint8_t* c = info + VERSION_FIXED_BYTES + 2 * i;
    const auto unit = static_cast<char16_t>(c[0] | c[1] << 8);
    if (unit == 0) break;
    servicePack += unit;
  }
  version.servicePack = PrintableFromUtf16(servicePack);
  return true;
}
