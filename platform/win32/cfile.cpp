#include "cfile.h"

namespace {

// Moves the file pointer; the new position in position.
bool MovePointer(HANDLE file, std::int64_t offset, DWORD method, std::uint64_t& position) {
  LONG high = static_cast<LONG>(offset >> 32);
  const DWORD low = SetFilePointer(file, static_cast<LONG>(offset & 0xFFFFFFFF), &high, method);
  if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return false;
  position = static_cast<std::uint64_t>(static_cast<DWORD>(high)) << 32 | low;
  return true;
}

// CreateFile's access, sharing and creation for the framework's open flags.
struct OpenArguments {
  DWORD access = GENERIC_READ;
  DWORD share = 0;  // shareCompat and shareExclusive
  DWORD creation = OPEN_EXISTING;

  explicit OpenArguments(UINT openFlags) {
    if ((openFlags & 3) == CFile::modeWrite) access = GENERIC_WRITE;
    if ((openFlags & 3) == CFile::modeReadWrite) access = GENERIC_READ | GENERIC_WRITE;
    switch (openFlags & 0x70) {
      case CFile::shareDenyWrite: share = FILE_SHARE_READ; break;
      case CFile::shareDenyRead: share = FILE_SHARE_WRITE; break;
      case CFile::shareDenyNone: share = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
      default: break;
    }
    if (openFlags & CFile::modeCreate) creation = CREATE_ALWAYS;
  }
};

}  // namespace

CFile::~CFile() { Close(); }

BOOL CFile::Open(LPCSTR fileName, UINT openFlags) {
  Close();
  const OpenArguments a(openFlags);
  m_hFile = CreateFileA(fileName, a.access, a.share, nullptr, a.creation, FILE_ATTRIBUTE_NORMAL, nullptr);
  return m_hFile != INVALID_HANDLE_VALUE;
}

BOOL CFile::Open(LPCWSTR fileName, UINT openFlags) {
  Close();
  const OpenArguments a(openFlags);
  m_hFile = CreateFileW(fileName, a.access, a.share, nullptr, a.creation, FILE_ATTRIBUTE_NORMAL, nullptr);
  return m_hFile != INVALID_HANDLE_VALUE;
}

void CFile::Close() {
  if (m_hFile != INVALID_HANDLE_VALUE) CloseHandle(m_hFile);
  m_hFile = INVALID_HANDLE_VALUE;
}

bool CFile::Seek(std::int64_t offset, SeekFrom from) {
  std::uint64_t position = 0;
  return MovePointer(m_hFile, offset, from == SeekFrom::Begin ? FILE_BEGIN : FILE_CURRENT, position);
}

bool CFile::Read(void* buffer, std::uint32_t count, std::uint32_t& got) {
  DWORD read = 0;
  const BOOL ok = ReadFile(m_hFile, buffer, count, &read, nullptr);
  got = read;
  return ok != FALSE;
}

bool CFile::Write(const void* data, std::uint32_t count) {
  DWORD written = 0;
  return WriteFile(m_hFile, data, count, &written, nullptr) && written == count;
}

bool CFile::GetLength(std::uint64_t& length) {
  DWORD high = 0;
  const DWORD low = GetFileSize(m_hFile, &high);
  if (low == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) return false;
  length = static_cast<std::uint64_t>(high) << 32 | low;
  return true;
}

bool CFile::GetPosition(std::uint64_t& position) { return MovePointer(m_hFile, 0, FILE_CURRENT, position); }

bool CFile::SetLength(std::uint64_t length) {
  std::uint64_t position = 0;
  if (!GetPosition(position)) return false;
  std::uint64_t ignored = 0;
  const bool ok = MovePointer(m_hFile, static_cast<std::int64_t>(length), FILE_BEGIN, ignored) && SetEndOfFile(m_hFile);
  // The position stays where it was, as with the POSIX backend.
  return MovePointer(m_hFile, static_cast<std::int64_t>(position), FILE_BEGIN, ignored) && ok;
}

// The engine's open modes are handed to Open as they are.
static_assert(static_cast<UINT>(OpenMode::ReadShared) == (CFile::modeRead | CFile::shareDenyNone), "read, shared");
static_assert(static_cast<UINT>(OpenMode::CreateReadWrite) == (CFile::modeCreate | CFile::modeReadWrite),
              "created, read and write, not shared");

std::unique_ptr<File> Win32FileSystem::Open(const std::string& name, OpenMode mode) {
  auto file = std::make_unique<CFile>();
  if (!file->Open(name.c_str(), static_cast<UINT>(mode))) return nullptr;
  return file;
}
