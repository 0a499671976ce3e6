// How work on the device's sync link ended: one result code per cause, made where the
// cause is seen and carried to the top as a transfer's ending is, and one sentence for it.
#pragma once

#include <cstdint>
#include <string>

enum class LinkResult {
  None,                // nothing has failed
  NoLink,              // no network interface has the device's driver
  SeveralLinks,        // several have it, and none was named
  NoSuchInterface,     // the named interface does not exist
  NoAddress,           // the interface has no IPv4 address
  BindRefused,         // the listener's port or interface needs a privilege this process lacks
  AddressInUse,        // another program listens there already
  SocketFailed,        // any other failure of the host's own sockets
  NeverConnected,      // no device connected within the bound
  HandshakeRefused,    // the device closed its connection during the handshake
  HandshakeMalformed,  // the device sent a word the handshake does not have
  InfoBlockMalformed,  // the device's information block does not add up
  HandshakeNoAnswer,   // the device connected but did not finish its handshake in time
  DeviceLocked,        // locked with a password that the host would have to send
  NotUnlocked,         // locked, and not unlocked on the device within the bound
  OsTooOld,            // older than the message layout spoken here
  NoChannel,           // the device opened no remote-API channel in time
  CallRefused,         // a call failed on the device, with its lastError
  CallNoAnswer,        // a call got no answer within its bound
  ReplyMalformed,      // a call's answer was not understood
  LinkGone,            // the device's link went away
  Stopped,             // a stop was requested
  // The road into the downloader, once the link has done its part.
  PowerTooLow,         // on battery, below what an update needs (detail: the figures)
  HelperNotStarted,    // the helper's start was never answered, and the link stayed (detail: the link's reason)
  NoDownloader,        // the helper started, but the downloader's port never appeared (detail: the port)
};

// The remote-API call an ending concerns.
enum class RapiCall { None, CreateFile, WriteFile, CloseHandle, CreateProcess, GetSystemPowerStatusEx, GetVersionEx };

struct LinkEnding {
  LinkResult result = LinkResult::None;
  RapiCall call = RapiCall::None;
  std::uint32_t lastError = 0;  // of CallRefused
  // What the sentence names: the interface or interfaces, the address, the seconds
  // waited, the word or block size received, the OS version, the port, the power's
  // figures, or the system's own words.
  std::string detail;
};

// One sentence that says why work on the link ended.
std::string LinkEndingReason(const LinkEnding& ending);

// The device's error code as words, with its number.
std::string DeviceErrorText(std::uint32_t lastError);

// What the user is asked to do while the link waits on the device.
enum class LinkNotice {
  UnlockOnDevice,  // the device is locked: unlock it on its own screen (detail: seconds left)
  LookAtDevice,    // a program's start has no answer: the device may be asking its user
};
std::string LinkNoticeText(LinkNotice notice, const std::string& detail);
