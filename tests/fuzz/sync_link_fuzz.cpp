// Plays arbitrary device bytes into the link's parsers: the first byte picks the
// information-block parser or one of the reply parsers, the rest is what arrived.
#include <cstdlib>

#include "rapi_wire.h"
#include "sync_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t* body = data + 1;
  const std::size_t bytes = size - 1;
  RapiReply reply;
  switch (data[0] % 5) {
    case 0: {
      DeviceInfo info;
      // Nothing read may exceed what arrived: the texts are at most what their bytes give.
      if (ParseDeviceInfo(body, bytes, info) && info.name.size() + info.platform.size() + info.model.size() > 4 * bytes) {
        std::abort();
      }
      break;
    }
    case 1:
      ParseReply(body, bytes, reply);
      break;
    case 2: {
      std::uint32_t written = 0;
      ParseWriteFileReply(body, bytes, reply, written);
      break;
    }
    case 3: {
      PowerStatus status;
      ParsePowerStatusReply(body, bytes, reply, status);
      break;
    }
    default: {
      OsVersionInfo version;
      if (ParseVersionReply(body, bytes, reply, version) && version.servicePack.size() > 3 * bytes) std::abort();
      break;
    }
  }
  return 0;
}
