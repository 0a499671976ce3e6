#include "link_ending.h"

#include <cstdio>

#include "rapi_wire.h"
#include "string_table.h"

namespace {

StringId CallName(RapiCall call) {
  switch (call) {
    case RapiCall::CreateFile: return IDS_CALL_CREATE_FILE;
    case RapiCall::WriteFile: return IDS_CALL_WRITE_FILE;
    case RapiCall::CloseHandle: return IDS_CALL_CLOSE_HANDLE;
    case RapiCall::CreateProcess: return IDS_CALL_CREATE_PROCESS;
    case RapiCall::GetSystemPowerStatusEx: return IDS_CALL_POWER_STATUS;
    case RapiCall::GetVersionEx:
    case RapiCall::None: break;
  }
  return IDS_CALL_VERSION;
}

StringId ErrorWords(std::uint32_t lastError) {
  switch (lastError) {
    case DEVICE_ERROR_ACCESS_DENIED: return IDS_DEVICE_ERROR_ACCESS_DENIED;
    case DEVICE_ERROR_DISK_FULL: return IDS_DEVICE_ERROR_DISK_FULL;
    case DEVICE_NTE_BAD_SIGNATURE:
    case DEVICE_ERROR_INVALID_EXE_SIGNATURE:
    case DEVICE_ERROR_EXE_MARKED_INVALID: return IDS_DEVICE_ERROR_SIGNATURE;
    case DEVICE_ERROR_FILE_NOT_FOUND:
    case DEVICE_ERROR_PATH_NOT_FOUND: return IDS_DEVICE_ERROR_NOT_FOUND;
    case DEVICE_ERROR_SHARING_VIOLATION: return IDS_DEVICE_ERROR_IN_USE;
    case DEVICE_ERROR_WRITE_PROTECT: return IDS_DEVICE_ERROR_WRITE_PROTECTED;
    case DEVICE_ERROR_NOT_ENOUGH_MEMORY:
    case DEVICE_ERROR_OUTOFMEMORY: return IDS_DEVICE_ERROR_OUT_OF_MEMORY;
    case DEVICE_ERROR_BAD_FORMAT:
    case DEVICE_ERROR_BAD_EXE_FORMAT: return IDS_DEVICE_ERROR_BAD_PROGRAM;
    case DEVICE_ERROR_INVALID_PARAMETER:
    case DEVICE_ERROR_INVALID_NAME: return IDS_DEVICE_ERROR_BAD_NAME;
    default: return IDS_DEVICE_ERROR;
  }
}

}  // namespace

std::string DeviceErrorText(std::uint32_t lastError) {
  // Win32 codes read best in decimal, HRESULTs (top bit set) in hexadecimal.
  char number[16];
  std::snprintf(number, sizeof number, lastError >= 0x80000000u ? "0x%08X" : "%u", lastError);
  return FormatText(ErrorWords(lastError), {number});
}

std::string LinkEndingReason(const LinkEnding& ending) {
  const std::string& detail = ending.detail;
  const std::string call = LoadText(CallName(ending.call));
  switch (ending.result) {
    case LinkResult::NoLink: return LoadText(IDS_LINK_NO_LINK);
    case LinkResult::SeveralLinks: return FormatText(IDS_LINK_SEVERAL_LINKS, {detail});
    case LinkResult::NoSuchInterface: return FormatText(IDS_LINK_NO_SUCH_INTERFACE, {detail});
    case LinkResult::NoAddress: return FormatText(IDS_LINK_NO_ADDRESS, {detail, detail});
    case LinkResult::BindRefused: return FormatText(IDS_LINK_BIND_REFUSED, {detail});
    case LinkResult::AddressInUse: return FormatText(IDS_LINK_ADDRESS_IN_USE, {detail});
    case LinkResult::SocketFailed: return FormatText(IDS_LINK_SOCKET_FAILED, {detail});
    case LinkResult::NeverConnected: return FormatText(IDS_LINK_NEVER_CONNECTED, {detail});
    case LinkResult::HandshakeRefused: return LoadText(IDS_LINK_HANDSHAKE_REFUSED);
    case LinkResult::HandshakeMalformed: return FormatText(IDS_LINK_HANDSHAKE_MALFORMED, {detail});
    case LinkResult::InfoBlockMalformed: return FormatText(IDS_LINK_INFO_MALFORMED, {detail});
    case LinkResult::HandshakeNoAnswer: return FormatText(IDS_LINK_HANDSHAKE_NO_ANSWER, {detail});
    case LinkResult::DeviceLocked: return LoadText(IDS_LINK_DEVICE_LOCKED);
    case LinkResult::NotUnlocked: return FormatText(IDS_LINK_NOT_UNLOCKED, {detail});
    case LinkResult::OsTooOld: return FormatText(IDS_LINK_OS_TOO_OLD, {detail});
    case LinkResult::NoChannel: return LoadText(IDS_LINK_NO_CHANNEL);
    case LinkResult::CallRefused: return FormatText(IDS_LINK_CALL_REFUSED, {call, DeviceErrorText(ending.lastError)});
    case LinkResult::CallNoAnswer: return FormatText(IDS_LINK_CALL_NO_ANSWER, {call, detail});
    case LinkResult::ReplyMalformed: return FormatText(IDS_LINK_REPLY_MALFORMED, {call});
    case LinkResult::LinkGone: return LoadText(IDS_LINK_GONE);
    case LinkResult::Stopped: return LoadText(IDS_LINK_STOPPED);
    case LinkResult::PowerTooLow: return FormatText(IDS_LINK_POWER_TOO_LOW, {detail});
    case LinkResult::HelperNotStarted: return FormatText(IDS_LINK_HELPER_NOT_STARTED, {detail});
    case LinkResult::NoDownloader: return FormatText(IDS_LINK_NO_DOWNLOADER, {detail});
    case LinkResult::None: break;
  }
  return LoadText(IDS_REASON_UNEXPECTED_ERROR);
}

std::string LinkNoticeText(LinkNotice notice, const std::string& detail) {
  return notice == LinkNotice::UnlockOnDevice ? FormatText(IDS_LINK_UNLOCK_ON_DEVICE, {detail})
                                              : LoadText(IDS_LINK_LOOK_AT_DEVICE);
}
