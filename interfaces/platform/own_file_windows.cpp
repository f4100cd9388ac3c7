#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <sddl.h>

#include <string>

#include "interfaces/own_file.h"

namespace {

OwnFileResult openFailure(const char* path, DWORD error) {
  // A folder cannot be opened as a file: refused as one, not as a denial.
  const DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return OwnFileResult::NotRegular;
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND: return OwnFileResult::Missing;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return OwnFileResult::InUse;
    default: return OwnFileResult::Failed;
  }
}

// A reparse point (symbolic link, junction) is opened as itself and refused;
// only a file on a disk passes.
OwnFileResult checkPlain(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return OwnFileResult::Failed;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return OwnFileResult::Symlink;
  if (GetFileType(handle) != FILE_TYPE_DISK || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
    return OwnFileResult::NotRegular;
  return OwnFileResult::Opened;
}

OwnFileResult finish(HANDLE handle, OwnFileResult result, int flags, const char* mode, FILE** file) {
  if (result == OwnFileResult::Opened) {
    const int fd = _open_osfhandle((intptr_t)handle, flags | _O_TEXT);
    if (fd >= 0) {
      *file = _fdopen(fd, mode);
      if (*file) return result;
      _close(fd);  // closes the handle too
      return OwnFileResult::Failed;
    }
    result = OwnFileResult::Failed;
  }
  CloseHandle(handle);
  return result;
}

// "D:P(A;;FA;;;<this user's SID>)": full access for this user alone, nothing inherited.
std::string ownerOnlyDacl() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return "";
  char buffer[256];
  DWORD size = 0;
  std::string dacl;
  char* sid = nullptr;
  if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
      ConvertSidToStringSidA(((TOKEN_USER*)buffer)->User.Sid, &sid)) {
    dacl = std::string("D:P(A;;FA;;;") + sid + ")";
    LocalFree(sid);
  }
  CloseHandle(token);
  return dacl;
}

}  // namespace

OwnFileResult openOwnFileForWriting(const char* path, WriteMode mode, FILE** file) {
  // A file made here gets a protected DACL: full access for its owner alone.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const std::string dacl = ownerOnlyDacl();
  if (dacl.empty() ||
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(dacl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
    return OwnFileResult::NotPrivate;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, descriptor, FALSE};
  // No write sharing: a second writer is refused while this run holds it.
  const HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, &attributes, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  const DWORD error = GetLastError();
  LocalFree(descriptor);
  if (handle == INVALID_HANDLE_VALUE) return openFailure(path, error);
  OwnFileResult result = checkPlain(handle);
  if (result == OwnFileResult::Opened && mode == WriteMode::Empty && !SetEndOfFile(handle))
    result = OwnFileResult::Failed;
  return finish(handle, result, mode == WriteMode::Append ? _O_APPEND : 0, mode == WriteMode::Append ? "a" : "w",
                file);
}

OwnFileResult openOwnFileForReading(const char* path, FILE** file) {
  const HANDLE handle = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return openFailure(path, GetLastError());
  return finish(handle, checkPlain(handle), _O_RDONLY, "r", file);
}
