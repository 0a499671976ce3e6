// The sync software's remote API, loaded at run time from RAPI.dll in the system
// folder, where the sync software installs it. Where the library or one of its
// functions is missing, every call fails as with an unreachable device, so the
// program still starts where the sync software is not installed.
//
// The library stays loaded while a connection it began is open: the launch leaves its
// connection open on purpose, and unloading the library would cut it. The library
// allows one connection per process: a connection still open when the next one
// begins (a launch's, when the wizard starts again) is ended first.
#pragma once

#include <windows.h>

#include "device_prep/rapi.h"

class RapiLibrary : public Rapi {
 public:
  RapiLibrary();
  ~RapiLibrary() override;
  RapiLibrary(const RapiLibrary&) = delete;
  RapiLibrary& operator=(const RapiLibrary&) = delete;

  std::int32_t CeRapiInitEx(RapiInitRecord& init) override;
  std::uint32_t WaitForInitEvent(RapiHandle event, std::uint32_t milliseconds) override;
  void CeRapiUninit() override;
  RapiHandle CeCreateFile(const std::u16string& name, std::uint32_t desiredAccess, std::uint32_t shareMode,
                          std::uint32_t creationDisposition, std::uint32_t flagsAndAttributes) override;
  bool CeWriteFile(RapiHandle file, const std::uint8_t* data, std::uint32_t count, std::uint32_t& written) override;
  void CeCloseHandle(RapiHandle handle) override;
  bool CeCreateProcess(const std::u16string& applicationName) override;

 private:
  struct RAPIINIT {
    DWORD cbSize;
    HANDLE heRapiInit;
    HRESULT hrRapiInit;
  };
#ifndef _WIN64
  static_assert(sizeof(RAPIINIT) == RAPI_INIT_RECORD_BYTES, "the start-up record of a 32-bit process");
#endif
  using InitEx = HRESULT(WINAPI*)(RAPIINIT*);
  using Uninit = HRESULT(WINAPI*)();
  using CreateFileFn = HANDLE(WINAPI*)(LPCWSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
  using WriteFileFn = BOOL(WINAPI*)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
  using CloseHandleFn = BOOL(WINAPI*)(HANDLE);
  using CreateProcessFn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL, DWORD,
                                        LPVOID, LPWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION);

  HMODULE module_ = nullptr;
  InitEx initEx_ = nullptr;
  Uninit uninit_ = nullptr;
  CreateFileFn createFile_ = nullptr;
  WriteFileFn writeFile_ = nullptr;
  CloseHandleFn closeHandle_ = nullptr;
  CreateProcessFn createProcess_ = nullptr;
};
