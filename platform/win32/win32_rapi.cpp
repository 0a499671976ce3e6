#include "win32_rapi.h"

#include "system_library.h"

// Device names travel as UTF-16 strings handed over as the platform's wide strings.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "wide characters are 16 bits");

namespace {

// The library keeps one connection per process, whichever object began it.
bool connectionOpen = false;

LPCWSTR Wide(const std::u16string& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

}  // namespace

RapiLibrary::RapiLibrary()
    : module_(LoadSystemLibrary("RAPI.dll")),
      initEx_(LookUpFunction<InitEx>(module_, "CeRapiInitEx")),
      uninit_(LookUpFunction<Uninit>(module_, "CeRapiUninit")),
      createFile_(LookUpFunction<CreateFileFn>(module_, "CeCreateFile")),
      writeFile_(LookUpFunction<WriteFileFn>(module_, "CeWriteFile")),
      closeHandle_(LookUpFunction<CloseHandleFn>(module_, "CeCloseHandle")),
      createProcess_(LookUpFunction<CreateProcessFn>(module_, "CeCreateProcess")) {
  // A library that lacks any call counts as no library: nothing half-works.
  if (!initEx_ || !uninit_ || !createFile_ || !writeFile_ || !closeHandle_ || !createProcess_) initEx_ = nullptr;
}

RapiLibrary::~RapiLibrary() {
  if (module_ != nullptr && !connectionOpen) FreeLibrary(module_);
}

std::int32_t RapiLibrary::CeRapiInitEx(RapiInitRecord& init) {
  if (initEx_ == nullptr) return E_FAIL;
  // A launch leaves its connection open, and the library refuses a second start-up
  // before the first has ended: so a push after a restart of the wizard would fail.
  if (connectionOpen) CeRapiUninit();
  RAPIINIT record{init.cbSize, nullptr, 0};
  const HRESULT result = initEx_(&record);
  if (result == S_OK) connectionOpen = true;
  init.heRapiInit = reinterpret_cast<RapiHandle>(record.heRapiInit);
  init.hrRapiInit = record.hrRapiInit;
  return result;
}

std::uint32_t RapiLibrary::WaitForInitEvent(RapiHandle event, std::uint32_t milliseconds) {
  return WaitForSingleObject(reinterpret_cast<HANDLE>(event), milliseconds);
}

void RapiLibrary::CeRapiUninit() {
  if (uninit_ != nullptr) uninit_();
  connectionOpen = false;
}

RapiHandle RapiLibrary::CeCreateFile(const std::u16string& name, std::uint32_t desiredAccess, std::uint32_t shareMode,
                                     std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) {
  if (createFile_ == nullptr) return RAPI_INVALID_HANDLE;
  return reinterpret_cast<RapiHandle>(
      createFile_(Wide(name), desiredAccess, shareMode, nullptr, creationDisposition, flagsAndAttributes, nullptr));
}

bool RapiLibrary::CeWriteFile(RapiHandle file, const std::uint8_t* data, std::uint32_t count, std::uint32_t& written) {
  DWORD done = 0;
  const bool ok = writeFile_ != nullptr && writeFile_(reinterpret_cast<HANDLE>(file), data, count, &done, nullptr);
  written = done;
  return ok;
}

void RapiLibrary::CeCloseHandle(RapiHandle handle) {
  if (closeHandle_ != nullptr) closeHandle_(reinterpret_cast<HANDLE>(handle));
}

bool RapiLibrary::CeCreateProcess(const std::u16string& applicationName) {
  // The device's process and thread handles are not the PC's to close.
  PROCESS_INFORMATION info{};
  return createProcess_ != nullptr &&
         createProcess_(Wide(applicationName), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, nullptr, &info);
}
