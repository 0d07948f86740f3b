// Windows implementation of the platform layer: Win32 file handles, a
// temporary created exclusively beside the target and moved over it, and a
// console control handler that removes an unfinished temporary.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// After windows.h, which shellapi.h needs.
#include <io.h>
#include <shellapi.h>

#include <cstdio>
#include <string>

#include "names.h"
#include "platform.h"

namespace {

// Names are UTF-8 throughout the packer (see Utf8Arguments), so that a
// package stores the same names whatever the code page.
std::wstring Wide(const std::string& name) {
  int n = MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, &wide[0], n);
  wide.resize(static_cast<size_t>(n - 1));
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return std::string();
  std::string narrow(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, &narrow[0], n, nullptr, nullptr);
  narrow.resize(static_cast<size_t>(n - 1));
  return narrow;
}

std::string Reason(DWORD error) {
  char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           error, 0, text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == '.')) --n;
  if (n == 0) return "error " + std::to_string(error);
  return std::string(text, n);
}

std::string Failure(const char* what, const std::string& name, DWORD error) {
  return std::string(what) + " " + Quoted(name) + ": " + Reason(error);
}

// The temporary that the console handler removes on Ctrl-C or close.
// The handler runs on a thread of its own, hence the lock.
SRWLOCK g_pending_lock = SRWLOCK_INIT;
std::wstring g_pending_temp;

BOOL WINAPI RemovePending(DWORD) {
  AcquireSRWLockExclusive(&g_pending_lock);
  if (!g_pending_temp.empty()) DeleteFileW(g_pending_temp.c_str());
  ReleaseSRWLockExclusive(&g_pending_lock);
  return FALSE;  // let the default handler end the process
}

void SetPendingTemp(const std::wstring& path) {
  PrepareSignals();
  AcquireSRWLockExclusive(&g_pending_lock);
  g_pending_temp = path;
  ReleaseSRWLockExclusive(&g_pending_lock);
}

// The temporary's name: the target's, cut so that the last component with
// the suffix stays within the 255 characters a Windows name may have.
std::wstring TempName(const std::wstring& target, const wchar_t* suffix) {
  const size_t limit = 255, suffix_size = wcslen(suffix);
  size_t separator = target.find_last_of(L"\\/:");
  size_t base = separator == std::wstring::npos ? 0 : separator + 1;
  if (target.size() - base + suffix_size > limit) {
    return target.substr(0, base + limit - suffix_size) + suffix;
  }
  return target + suffix;
}

}  // namespace

void PrepareSignals() {
  static bool prepared = false;
  if (prepared) return;
  prepared = true;
  // A console whose Ctrl-C is ignored at start (a process started with
  // CREATE_NEW_PROCESS_GROUP) keeps ignoring it: the handler only removes
  // the temporary and lets the default handling go on.
  SetConsoleCtrlHandler(RemovePending, TRUE);
}

bool InputFile::Open(const char* name, std::string* err) {
  Close();
  name_ = name;
  HANDLE h = CreateFileW(Wide(name_).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesW(Wide(name_).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      *err = "cannot open " + Quoted(name_) + ": Is a directory";
    } else {
      *err = Failure("cannot open", name_, error);
    }
    return false;
  }
  LARGE_INTEGER size;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &size)) {
    *err = "cannot open " + Quoted(name_) + ": not a regular file";
    CloseHandle(h);
    return false;
  }
  handle_ = reinterpret_cast<intptr_t>(h);
  size_ = static_cast<uint64_t>(size.QuadPart);
  return true;
}

bool InputFile::Check(const char* name, uint64_t* size, std::string* err) {
  // Whether a file can be read shows only by opening it.
  InputFile file;
  if (!file.Open(name, err)) return false;
  *size = file.size();
  return true;
}

bool InputFile::Check(const char* name, const PathLook&, uint64_t* size, std::string* err) {
  return Check(name, size, err);
}

bool InputFile::ReadSome(void* buffer, size_t size, size_t* got, std::string* err) {
  DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  DWORD n = 0;
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, chunk, &n, nullptr)) {
    *err = Failure("cannot read", name_, GetLastError());
    return false;
  }
  *got = n;
  return true;
}

bool InputFile::Read(void* buffer, size_t size, size_t* got, std::string* err) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  size_t total = 0;
  while (total < size) {
    DWORD chunk = size - total > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size - total);
    DWORD n = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), out + total, chunk, &n, nullptr)) {
      *err = Failure("cannot read", name_, GetLastError());
      return false;
    }
    if (n == 0) break;
    total += n;
  }
  *got = total;
  return true;
}

bool InputFile::ReadAt(uint64_t offset, void* buffer, size_t size, size_t* got, std::string* err) {
  uint8_t* out = static_cast<uint8_t*>(buffer);
  size_t total = 0;
  while (total < size) {
    DWORD chunk = size - total > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size - total);
    OVERLAPPED at = {};
    uint64_t from = offset + total;
    at.Offset = static_cast<DWORD>(from);
    at.OffsetHigh = static_cast<DWORD>(from >> 32);
    DWORD n = 0;
    if (!ReadFile(reinterpret_cast<HANDLE>(handle_), out + total, chunk, &n, &at)) {
      DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      *err = Failure("cannot read", name_, error);
      return false;
    }
    if (n == 0) break;
    total += n;
  }
  *got = total;
  return true;
}

bool InputFile::Rewind(std::string* err) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(reinterpret_cast<HANDLE>(handle_), zero, nullptr, FILE_BEGIN)) {
    *err = Failure("cannot read", name_, GetLastError());
    return false;
  }
  return true;
}

void InputFile::Close() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
}

bool TempOutput::Create(const std::string& target, std::string* err) {
  Discard();
  target_ = target;
  size_ = 0;
  // A name no other run picks: the process id and a counter, created
  // exclusively so that an existing file is never reused.
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    wchar_t suffix[64];
    swprintf(suffix, 64, L".tmp%lu_%u", GetCurrentProcessId(), counter++);
    std::wstring path = TempName(Wide(target), suffix);
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      handle_ = reinterpret_cast<intptr_t>(h);
      temp_path_ = Utf8(path);
      SetPendingTemp(path);
      return true;
    }
    DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      *err = Failure("cannot create", target_, error);
      return false;
    }
  }
  *err = "cannot create " + Quoted(target_) + ": no free temporary name";
  return false;
}

bool TempOutput::Write(const void* data, size_t size, std::string* err) {
  size_ += size;
  const uint8_t* in = static_cast<const uint8_t*>(data);
  const size_t whole = size;
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD n = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle_), in, chunk, &n, nullptr) || n == 0) {
      *err = Failure("cannot write", target_, GetLastError());
      return false;
    }
    in += n;
    size -= n;
  }
  if (tap_ != nullptr) tap_->Wrote(data, whole);
  return true;
}

bool TempOutput::WriteAt(uint64_t offset, const void* data, size_t size, std::string* err) {
  const uint8_t* in = static_cast<const uint8_t*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    if (!WriteFile(reinterpret_cast<HANDLE>(handle_), in, chunk, &n, &at) || n == 0) {
      *err = Failure("cannot write", target_, GetLastError());
      return false;
    }
    in += n;
    offset += n;
    size -= n;
  }
  return true;
}

bool TempOutput::Commit(std::string* err) {
  HANDLE h = reinterpret_cast<HANDLE>(handle_);
  handle_ = -1;
  if (!CloseHandle(h)) {
    *err = Failure("cannot write", target_, GetLastError());
    return false;
  }
  if (!MoveFileExW(Wide(temp_path_).c_str(), Wide(target_).c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    *err = Failure("cannot replace", target_, GetLastError());
    return false;
  }
  SetPendingTemp(std::wstring());
  temp_path_.clear();
  return true;
}

void TempOutput::Discard() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = -1;
  if (!temp_path_.empty()) {
    DeleteFileW(Wide(temp_path_).c_str());
    SetPendingTemp(std::wstring());
    temp_path_.clear();
  }
}

std::string ExecutableDir() {
  wchar_t path[32768];
  DWORD n = GetModuleFileNameW(nullptr, path, 32768);
  if (n == 0 || n >= 32768) return std::string();
  std::wstring exe(path, n);
  size_t slash = exe.find_last_of(L"\\/");
  if (slash == std::wstring::npos) return std::string();
  return Utf8(exe.substr(0, slash));
}

struct ProcessorSet {};

// Its packer runs serially on any machine, and the scheduler is left alone.
ProcessorStay::ProcessorStay() = default;
ProcessorStay::~ProcessorStay() = default;

unsigned UsableProcessors() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  unsigned count = 0;
  for (; process != 0; process &= process - 1) ++count;
  return count;
}

// Windows keeps no load average; its packer runs the serial scheduler anyway.
double MachineLoad() { return 0; }

uint8_t* AllocateBuffer(size_t size) { return new uint8_t[size]; }

void FreeBuffer(uint8_t* buffer) { delete[] buffer; }

bool IsRegularFile(const std::string& path) {
  DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::string& path) {
  DWORD attributes = GetFileAttributesW(Wide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

PathLook LookAt(const std::string& path) {
  // Only what IsFolder tells: Check opens the file to see the rest.
  PathLook look;
  look.folder = IsFolder(path);
  look.found = look.folder;
  return look;
}

namespace {

// What a reparse point (a symbolic link or a junction) leads to: opening it
// without FILE_FLAG_OPEN_REPARSE_POINT follows it.
FolderEntry::Kind LinkKind(const std::wstring& path) {
  HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return FolderEntry::LinkToOther;
  BY_HANDLE_FILE_INFORMATION info;
  bool known = GetFileInformationByHandle(h, &info) != 0;
  bool disk = GetFileType(h) == FILE_TYPE_DISK;
  CloseHandle(h);
  if (!known || !disk) return FolderEntry::LinkToOther;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? FolderEntry::LinkToFolder
                                                            : FolderEntry::LinkToFile;
}

}  // namespace

bool ReadFolder(const std::string& path, std::vector<FolderEntry>* entries, std::string* err) {
  const std::wstring folder = Wide(path);
  const std::wstring prefix =
      folder.empty() || folder.back() == L'\\' || folder.back() == L'/' ? folder : folder + L"\\";
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((prefix + L"*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) {
    *err = Failure("cannot read the folder", path, GetLastError());
    return false;
  }
  do {
    std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    FolderEntry::Kind kind = FolderEntry::File;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      kind = LinkKind(prefix + name);
    } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      kind = FolderEntry::Folder;
    } else if (found.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) {
      kind = FolderEntry::Other;
    }
    entries->push_back({Utf8(name), kind});
  } while (FindNextFileW(find, &found));
  DWORD error = GetLastError();
  FindClose(find);
  if (error != ERROR_NO_MORE_FILES) {
    *err = Failure("cannot read the folder", path, error);
    return false;
  }
  return true;
}

std::vector<std::string> Utf8Arguments(int argc, char* argv[]) {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(Utf8(wide[i]));
  LocalFree(wide);
  // Names are printed as UTF-8; a console then shows them as such.
  SetConsoleOutputCP(CP_UTF8);
  return args;
}

bool IsTerminal(std::FILE* stream) {
  DWORD mode = 0;
  HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  if (h == INVALID_HANDLE_VALUE || !GetConsoleMode(h, &mode)) return false;
  // The display erases its line with ESC [ K, which a console understands
  // only in this mode (Windows 10 on); an older console draws no display.
  const DWORD VirtualTerminal = 0x0004;  // ENABLE_VIRTUAL_TERMINAL_PROCESSING
  return (mode & VirtualTerminal) != 0 || SetConsoleMode(h, mode | VirtualTerminal) != 0;
}
