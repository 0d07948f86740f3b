// The stub's system services on Windows, Win32 only. Paths are used in their
// "\\?\" form so that long paths work; folders inside the extraction folder
// that turn out to be links (symbolic links, junctions) are refused.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "command_line.h"
#include "format/printable.h"
#include "format/text_format.h"
#include "os.h"

// RtlGenRandom, exported by advapi32 (a system DLL) as SystemFunction036.
extern "C" BOOLEAN WINAPI SystemFunction036(PVOID buffer, ULONG length);

namespace {

volatile LONG noted_signal = 0;

wchar_t* NewWide(const char* text, UINT code_page) {
  int length = MultiByteToWideChar(code_page, 0, text, -1, nullptr, 0);
  if (length <= 0) return nullptr;
  wchar_t* wide = static_cast<wchar_t*>(std::malloc(static_cast<size_t>(length) * sizeof(wchar_t)));
  if (wide != nullptr) MultiByteToWideChar(code_page, 0, text, -1, wide, length);
  return wide;
}

void ToUtf8(const wchar_t* wide, char* out, size_t out_size) {
  if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, static_cast<int>(out_size), nullptr,
                          nullptr) <= 0) {
    out[0] = 0;
  }
}

// a + "\" + b (b may be null for a + "\"), malloc'd.
wchar_t* NewJoined(const wchar_t* a, const wchar_t* b) {
  size_t a_length = std::wcslen(a), b_length = b != nullptr ? std::wcslen(b) : 0;
  wchar_t* joined = static_cast<wchar_t*>(std::malloc((a_length + b_length + 2) * sizeof(wchar_t)));
  if (joined == nullptr) return nullptr;
  std::wmemcpy(joined, a, a_length);
  joined[a_length] = L'\\';
  if (b_length > 0) std::wmemcpy(joined + a_length + 1, b, b_length);
  joined[a_length + 1 + b_length] = 0;
  return joined;
}

// The system's text for a Win32 error code.
void ErrorText(DWORD code, char* out, size_t out_size) {
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                code, 0, out, static_cast<DWORD>(out_size), nullptr);
  while (length > 0 && (out[length - 1] == '\n' || out[length - 1] == '\r' ||
                        out[length - 1] == '.' || out[length - 1] == ' ')) {
    --length;
  }
  if (length == 0)
    FormatText(out, out_size, "error %lu", code);
  else
    out[length] = 0;
}

struct LastError {
  char text[256];
  LastError() { ErrorText(GetLastError(), text, sizeof text); }
};

bool IsPlainFolder(const wchar_t* path) {
  DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Removes everything inside `folder`; a link is removed, not entered.
bool RemoveContents(const wchar_t* folder) {
  wchar_t* pattern = NewJoined(folder, L"*");
  if (pattern == nullptr) return false;
  WIN32_FIND_DATAW found;
  HANDLE search =
      FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
  std::free(pattern);
  if (search == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  bool ok = true;
  do {
    const wchar_t* name = found.cFileName;
    if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0) continue;
    wchar_t* path = NewJoined(folder, name);
    if (path == nullptr) {
      ok = false;
      continue;
    }
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        ok = RemoveContents(path) && ok;
      }
      ok = RemoveDirectoryW(path) && ok;
    } else {
      SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
      ok = DeleteFileW(path) && ok;
    }
    std::free(path);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return ok;
}

// Creates the missing parent folders of the long path `path`, skipping its
// "\\?\C:\" or "\\?\UNC\server\share\" root. Returns where the first
// folder it made ends, or 0.
size_t CreateParents(wchar_t* path) {
  size_t first = 0;
  wchar_t* p = path + 4;
  if (std::wcsncmp(p, L"UNC\\", 4) == 0) {
    p += 4;
    for (int separators = 0; *p != 0 && separators < 2; ++p) separators += *p == L'\\';
  } else {
    while (*p != 0 && *p != L'\\') ++p;
    if (*p == L'\\') ++p;
  }
  for (; *p != 0; ++p) {
    if (*p != L'\\') continue;
    *p = 0;
    if (CreateDirectoryW(path, nullptr) && first == 0) first = static_cast<size_t>(p - path);
    *p = L'\\';
  }
  return first;
}

// The long path of path[0, length) inside `folder`, malloc'd.
wchar_t* NewInside(const wchar_t* folder, const wchar_t* path, size_t length) {
  wchar_t part[MaxName];
  if (length >= MaxName) return nullptr;
  std::wmemcpy(part, path, length);
  part[length] = 0;
  return NewJoined(folder, part);
}

// The lock files of CreateTemp: "tuvo-", 16 hexadecimal digits, ".lock".
constexpr size_t LockNameLength = 26;
constexpr size_t LockSuffixLength = 5;

// Opens the lock file `path` with no sharing, so that only one process at a
// time holds it; DELETE access lets the holder delete it through the handle.
HANDLE OpenLock(const wchar_t* path, DWORD disposition) {
  return CreateFileW(path, GENERIC_READ | DELETE, 0, nullptr, disposition,
                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Deletes the lock file open at `lock` and closes it. Deleting through the
// handle leaves no moment when the file is there and free.
void DropLock(HANDLE lock) {
  if (lock == nullptr || lock == INVALID_HANDLE_VALUE) return;
  FILE_DISPOSITION_INFO gone = {TRUE};
  SetFileInformationByHandle(lock, FileDispositionInfo, &gone, sizeof gone);
  CloseHandle(lock);
}

// Removes the folder of the lock file `name` in `base` if the lock can be
// taken: its stub is gone. A lock left without its folder goes too.
void RemoveIfStale(const wchar_t* base, const wchar_t* name) {
  wchar_t* path = NewJoined(base, name);
  HANDLE lock = path != nullptr ? OpenLock(path, OPEN_EXISTING) : INVALID_HANDLE_VALUE;
  if (lock != INVALID_HANDLE_VALUE) {
    path[std::wcslen(path) - LockSuffixLength] = 0;
    bool gone = GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES &&
                GetLastError() == ERROR_FILE_NOT_FOUND;
    // A link in the folder's place is left alone. %TEMP% is the user's
    // own: nobody else can put one there between the check and the removal.
    if (!gone && IsPlainFolder(path)) {
      RemoveContents(path);
      gone = RemoveDirectoryW(path);
    }
    if (gone) {
      DropLock(lock);
    } else {
      CloseHandle(lock);  // the mark stays: a later run tries again
    }
  }
  std::free(path);
}

// Sets whether closing `job` ends the processes in it. Breakaway stays
// allowed: a program that asks to leave the job could start such processes
// before.
bool SetKillOnClose(HANDLE job, bool kill) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_BREAKAWAY_OK | (kill ? JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE : 0);
  return SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
}

// Puts the suspended process in a new job that ends it when the stub ends,
// however it ends: the job's one handle is the stub's, not inherited.
// Returns null when the system refuses (before Windows 8, a stub that is
// in a job already), and the program then runs as it would without.
HANDLE NewJobFor(HANDLE process) {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job != nullptr && !(SetKillOnClose(job, true) && AssignProcessToJobObject(job, process))) {
    CloseHandle(job);
    job = nullptr;
  }
  return job;
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  // Ctrl-C reaches every process of the console, the program included; the
  // stub only notes it and cleans up once the program is done.
  InterlockedExchange(&noted_signal, event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT ? 2 : 15);
  return TRUE;
}

// The usual form of a "\\?\" path, for a program's command line and working
// directory; malloc'd.
wchar_t* NewShortPath(const wchar_t* long_path) {
  bool unc = std::wcsncmp(long_path, L"\\\\?\\UNC\\", 8) == 0;
  wchar_t* result = NewJoined(unc ? long_path + 6 : long_path + 4, nullptr);
  if (result != nullptr) {
    result[std::wcslen(result) - 1] = 0;  // NewJoined's trailing separator
    if (unc) result[0] = L'\\';
  }
  return result;
}

// Tells the program, whose working folder is the extraction folder, where
// the package was started from and where the package is.
void SetContext() {
  wchar_t* text = nullptr;
  DWORD length = GetCurrentDirectoryW(0, nullptr);
  if (length > 0 && (text = static_cast<wchar_t*>(std::malloc(length * sizeof(wchar_t)))) &&
      GetCurrentDirectoryW(length, text) < length) {
    SetEnvironmentVariableW(L"TUVO_CALLER_DIR", text);
  }
  std::free(text);
  // A long path does not fit MAX_PATH: grow until the name is not cut.
  for (DWORD capacity = MAX_PATH; capacity <= 32768 * 2; capacity *= 2) {
    text = static_cast<wchar_t*>(std::malloc(capacity * sizeof(wchar_t)));
    length = text != nullptr ? GetModuleFileNameW(nullptr, text, capacity) : 0;
    if (length > 0 && length < capacity) SetEnvironmentVariableW(L"TUVO_PACKAGE", text);
    std::free(text);
    if (length == 0 || length < capacity) break;
  }
}

}  // namespace

wchar_t* NewLongPath(const wchar_t* path) {
  if (std::wcsncmp(path, L"\\\\?\\", 4) == 0) return NewJoined(path, nullptr);
  DWORD length = GetFullPathNameW(path, 0, nullptr, nullptr);
  wchar_t* full = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
  if (length == 0 || full == nullptr ||
      GetFullPathNameW(path, length + 1, full, nullptr) > length) {
    std::free(full);
    return nullptr;
  }
  bool unc = full[0] == L'\\' && full[1] == L'\\';
  const wchar_t* prefix = unc ? L"\\\\?\\UNC" : L"\\\\?";
  const wchar_t* rest = unc ? full + 2 : full;
  size_t prefix_length = std::wcslen(prefix), rest_length = std::wcslen(rest);
  wchar_t* result =
      static_cast<wchar_t*>(std::malloc((prefix_length + rest_length + 2) * sizeof(wchar_t)));
  if (result != nullptr) {
    std::wmemcpy(result, prefix, prefix_length);
    result[prefix_length] = L'\\';
    std::wmemcpy(result + prefix_length + 1, rest, rest_length + 1);
  }
  std::free(full);
  return result;
}

void InitProcess(int* argc, char*** argv) {
  // Before any DLL loads: from the system folder only, never from the
  // folder of the package (a Downloads folder may hold planted DLLs).
  typedef BOOL(WINAPI * SetDirectories)(DWORD);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  SetDirectories set_directories = kernel == nullptr
                                       ? nullptr
                                       : reinterpret_cast<SetDirectories>(reinterpret_cast<void*>(
                                             GetProcAddress(kernel, "SetDefaultDllDirectories")));
  if (set_directories != nullptr) set_directories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);

  // The arguments as UTF-8, split by the C runtime's rules.
  const wchar_t* line = GetCommandLineW();
  size_t count = 1;
  for (const wchar_t* p = SkipProgramName(line); *p != 0; ++count)
    NextArgument<wchar_t>(&p, nullptr, 0);
  char** args = static_cast<char**>(std::calloc(count + 1, sizeof(char*)));
  if (args == nullptr) return;
  args[0] = const_cast<char*>("tuvo");
  const wchar_t* p = SkipProgramName(line);
  for (size_t i = 1; i < count; ++i) {
    const wchar_t* start = p;
    size_t length = NextArgument<wchar_t>(&p, nullptr, 0);
    wchar_t* wide = static_cast<wchar_t*>(std::malloc((length + 1) * sizeof(wchar_t)));
    char* text = static_cast<char*>(std::malloc(length * 3 + 1));
    if (wide == nullptr || text == nullptr) return;
    NextArgument<wchar_t>(&start, wide, length + 1);
    ToUtf8(wide, text, length * 3 + 1);
    std::free(wide);
    args[i] = text;
  }
  *argc = static_cast<int>(count);
  *argv = args;
}

void WriteText(int stream, const char* text) {
  HANDLE handle = GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD written = 0;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    WriteFile(handle, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
  }
}

bool IsTerminal(int stream) {
  HANDLE handle = GetStdHandle(stream == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  DWORD mode = 0;
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

uint64_t NowMs() { return GetTickCount64(); }

// Names packed on Linux or macOS are UTF-8; older Windows packers wrote the
// ANSI code page. Valid UTF-8 is taken as such (ASCII reads the same both
// ways, and text in a code page is seldom valid UTF-8 by chance).
bool ToPathChars(const char* name, PathChar* out, size_t out_size) {
  int size = static_cast<int>(out_size);
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, out, size) > 0 ||
         MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, out, size) > 0;
}

Folder::~Folder() {
  // A lock still held marks a folder that could not be removed: a later
  // run tries again.
  if (lock_ != nullptr) CloseHandle(static_cast<HANDLE>(lock_));
  std::free(path_);
}

void Folder::SetDisplay(const char* path) {
  Printable(path, std::strlen(path), display_, sizeof display_);
}

bool Folder::CreateTemp(ErrorLine* err) {
  wchar_t base[MAX_PATH + 2];
  DWORD length = GetTempPathW(MAX_PATH + 1, base);
  if (length == 0 || length > MAX_PATH + 1) {
    err->Set("cannot find the temporary folder: %s", LastError().text);
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[8] = {};
    SystemFunction036(random, sizeof random);
    wchar_t name[MAX_PATH + 32];
    _snwprintf(name, sizeof name / sizeof name[0], L"%lstuvo-%02x%02x%02x%02x%02x%02x%02x%02x.lock",
               base, random[0], random[1], random[2], random[3], random[4], random[5], random[6],
               random[7]);
    name[sizeof name / sizeof name[0] - 1] = 0;
    std::free(path_);
    path_ = NewLongPath(name);
    if (path_ == nullptr) break;
    // The lock comes first, held from the moment it exists, so that no
    // other run ever finds the folder marked and free. Without one (a
    // folder that refuses files) the folder is simply not marked.
    HANDLE lock = OpenLock(path_, CREATE_NEW);
    if (lock == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) continue;
    path_[std::wcslen(path_) - LockSuffixLength] = 0;
    name[std::wcslen(name) - LockSuffixLength] = 0;
    // Fails rather than reusing a folder that exists.
    if (CreateDirectoryW(path_, nullptr)) {
      fresh_ = true;
      lock_ = lock != INVALID_HANDLE_VALUE ? lock : nullptr;
      char utf8[MAX_PATH * 3 + 96];
      ToUtf8(name, utf8, sizeof utf8);
      SetDisplay(utf8);
      return true;
    }
    DWORD error = GetLastError();
    DropLock(lock);
    SetLastError(error);
    if (error != ERROR_ALREADY_EXISTS) break;
  }
  char utf8[MAX_PATH * 3];
  ToUtf8(base, utf8, sizeof utf8);
  SetDisplay(utf8);
  err->Set("cannot create a temporary folder in '%s': %s; set TEMP to a writable folder", display_,
           LastError().text);
  std::free(path_);
  path_ = nullptr;
  return false;
}

void Folder::Keep() {
  DropLock(static_cast<HANDLE>(lock_));
  lock_ = nullptr;
}

void Folder::RemoveStale() {
  wchar_t* slash = path_ != nullptr ? std::wcsrchr(path_, L'\\') : nullptr;
  if (lock_ == nullptr || slash == nullptr) return;
  *slash = 0;  // path_ is the temporary folder meanwhile
  wchar_t* pattern = NewJoined(path_, L"tuvo-*.lock");
  WIN32_FIND_DATAW found;
  HANDLE search = pattern == nullptr ? INVALID_HANDLE_VALUE
                                     : FindFirstFileExW(pattern, FindExInfoBasic, &found,
                                                        FindExSearchNameMatch, nullptr, 0);
  std::free(pattern);
  // This run's own lock is held, and does not open.
  for (bool more = search != INVALID_HANDLE_VALUE; more; more = FindNextFileW(search, &found)) {
    if (std::wcslen(found.cFileName) == LockNameLength &&
        !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      RemoveIfStale(path_, found.cFileName);
    }
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  *slash = L'\\';
}

bool Folder::OpenOrCreate(const char* path, ErrorLine* err) {
  SetDisplay(path);
  wchar_t* wide = NewWide(path, CP_UTF8);
  path_ = wide != nullptr && wide[0] != 0 ? NewLongPath(wide) : nullptr;
  std::free(wide);
  if (path_ == nullptr) {
    err->Set("cannot use '%s' as a folder", display_);
    return false;
  }
  parents_from_ = CreateParents(path_);
  fresh_ = CreateDirectoryW(path_, nullptr);
  if (!fresh_ && GetLastError() != ERROR_ALREADY_EXISTS) {
    err->Set("cannot create the folder '%s': %s", display_, LastError().text);
    return false;
  }
  if (!IsPlainFolder(path_)) {
    err->Set("cannot extract into '%s': not a folder", display_);
    return false;
  }
  return true;
}

bool Folder::RemoveAll(ErrorLine* err) {
  if (path_ == nullptr) return true;
  // The program's files may stay in use for a moment after it ends (a
  // virus scanner, a child process), so try for a few seconds.
  for (int attempt = 0; attempt < 40; ++attempt) {
    RemoveContents(path_);
    if (RemoveDirectoryW(path_) || GetLastError() == ERROR_FILE_NOT_FOUND) {
      // The parents made by OpenOrCreate, deepest first.
      for (size_t i = std::wcslen(path_); parents_from_ != 0 && i-- > parents_from_;) {
        if (path_[i] != L'\\') continue;
        path_[i] = 0;
        RemoveDirectoryW(path_);
      }
      std::free(path_);
      path_ = nullptr;
      Keep();  // the lock goes last: the folder stays marked until it is gone
      return true;
    }
    Sleep(100);
  }
  err->Set("cannot remove all of the temporary folder '%s': %s", display_, LastError().text);
  return false;
}

bool Folder::Empty() {
  wchar_t* pattern = NewJoined(path_, L"*");
  WIN32_FIND_DATAW found;
  HANDLE search = pattern == nullptr ? INVALID_HANDLE_VALUE
                                     : FindFirstFileExW(pattern, FindExInfoBasic, &found,
                                                        FindExSearchNameMatch, nullptr, 0);
  std::free(pattern);
  if (search == INVALID_HANDLE_VALUE) return false;
  bool empty = true;
  do {
    if (std::wcscmp(found.cFileName, L".") != 0 && std::wcscmp(found.cFileName, L"..") != 0) {
      empty = false;
    }
  } while (empty && FindNextFileW(search, &found));
  FindClose(search);
  return empty;
}

EntryKind Folder::Kind(const PathChar* path, size_t length) {
  wchar_t* full = NewInside(path_, path, length);
  DWORD attributes = full != nullptr ? GetFileAttributesW(full) : INVALID_FILE_ATTRIBUTES;
  DWORD error = GetLastError();
  std::free(full);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? EntryKind::Missing
                                                                          : EntryKind::Unknown;
  }
  bool folder =
      (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  return folder ? EntryKind::Folder : EntryKind::Other;
}

void Folder::RemoveFile(const PathChar* path) {
  wchar_t* full = NewJoined(path_, path);
  if (full != nullptr) DeleteFileW(full);
  std::free(full);
}

void Folder::RemoveFolder(const PathChar* path, size_t length) {
  wchar_t* full = NewInside(path_, path, length);
  if (full != nullptr) RemoveDirectoryW(full);
  std::free(full);
}

void PathText(const PathChar* path, size_t length, char* out, size_t out_size) {
  char utf8[MaxName * 3 + 1];
  int n = WideCharToMultiByte(CP_UTF8, 0, path, static_cast<int>(length), utf8, sizeof utf8 - 1,
                              nullptr, nullptr);
  Printable(utf8, n > 0 ? static_cast<size_t>(n) : 0, out, out_size);
}

bool Folder::FreeSpace(uint64_t* bytes, uint64_t* entries, ErrorLine* err) {
  *entries = ~uint64_t{0};                    // NTFS has no fixed number of files
  wchar_t* root = NewJoined(path_, nullptr);  // a trailing '\' is required
  ULARGE_INTEGER available;
  bool ok = root != nullptr && GetDiskFreeSpaceExW(root, &available, nullptr, nullptr);
  std::free(root);
  if (!ok) {
    err->Set("cannot read the free space of '%s'", display_);
    return false;
  }
  *bytes = available.QuadPart;
  return true;
}

bool EntryFile::Create(Folder* folder, const PathChar* path, const char* name, bool,
                       ErrorLine* err) {
  name_ = name;
  full_ = NewJoined(folder->path_, path);
  if (full_ == nullptr) {
    err->Set("out of memory");
    return false;
  }
  for (wchar_t* p = full_ + std::wcslen(folder->path_) + 1; *p != 0; ++p) {
    if (*p != L'\\') continue;
    *p = 0;
    bool made = CreateDirectoryW(full_, nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
    bool plain = made && IsPlainFolder(full_);
    *p = L'\\';
    if (!plain) {
      err->Set("cannot extract '%s': one of its folders cannot be created or is a link",
               Shown(name).text);
      return Forget();
    }
  }
  // CREATE_NEW: never opens, and so never replaces, what is there.
  HANDLE file = CreateFileW(full_, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    err->Set("cannot extract '%s' into '%s': %s", Shown(name).text, folder->display(),
             LastError().text);
    return Forget();
  }
  handle_ = file;
  return true;
}

bool EntryFile::Forget() {
  std::free(full_);
  full_ = nullptr;
  return false;
}

bool EntryFile::Put(const uint8_t* data, size_t size) {
  while (size > 0) {
    if (Interrupted() != 0) {
      error_.Set("interrupted while writing '%s'", Shown(name_).text);
      return false;
    }
    DWORD want = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size), written = 0;
    if (!WriteFile(static_cast<HANDLE>(handle_), data, want, &written, nullptr) || written == 0) {
      error_.Set("cannot write '%s': %s", Shown(name_).text, LastError().text);
      return false;
    }
    data += written;
    size -= written;
  }
  return true;
}

bool EntryFile::Commit(ErrorLine* err) {
  HANDLE file = static_cast<HANDLE>(handle_);
  handle_ = nullptr;
  if (!CloseHandle(file)) {
    err->Set("cannot write '%s': %s", Shown(name_).text, LastError().text);
    DeleteFileW(full_);
    return Forget();
  }
  Forget();
  return true;
}

void EntryFile::Discard() {
  if (handle_ == nullptr) return;
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
  DeleteFileW(full_);
  Forget();
}

void CatchInterrupts() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int Interrupted() { return static_cast<int>(noted_signal); }

namespace {

// Lets the suspended program run, in a job of its own where the system
// allows one, clears up after earlier stubs meanwhile, and returns the
// program's exit code once it has ended. Closes the process's handles.
DWORD RunToEnd(Folder* folder, const PROCESS_INFORMATION& process) {
  HANDLE job = NewJobFor(process.hProcess);
  if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
    TerminateProcess(process.hProcess, CannotRun);
  }
  CloseHandle(process.hThread);
  folder->RemoveStale();
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = CannotRun;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  if (job != nullptr) {
    // What the program started and left running goes on, as it did before
    // there was a job.
    SetKillOnClose(job, false);
    CloseHandle(job);
  }
  return code;
}

}  // namespace

int RunProgram(Folder* folder, const PathChar* path, char**, int first, ErrorLine* err) {
  if (Interrupted() != 0) return 128 + Interrupted();
  SetContext();
  wchar_t* program = NewJoined(folder->path_, path);
  wchar_t* directory = NewShortPath(folder->path_);
  wchar_t* shown = program != nullptr ? NewShortPath(program) : nullptr;
  const wchar_t* tail = CommandLineTail(GetCommandLineW(), first - 1);
  size_t length = shown == nullptr ? 0 : std::wcslen(shown) + std::wcslen(tail) + 4;
  wchar_t* line = static_cast<wchar_t*>(std::malloc(length * sizeof(wchar_t)));
  bool ready = program != nullptr && directory != nullptr && shown != nullptr && line != nullptr;
  if (ready) {
    // The program's own name comes first, quoted, then the tail untouched.
    _snwprintf(line, length, L"\"%ls\" %ls", shown, tail);
    line[length - 1] = 0;
  }
  std::free(shown);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  HANDLE standard[] = {startup.hStdInput, startup.hStdOutput, startup.hStdError};
  for (HANDLE handle : standard) {
    SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  }
  PROCESS_INFORMATION process = {};
  // Suspended until it is in its job, so that nothing it starts escapes.
  BOOL started = ready && CreateProcessW(program, line, nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                                         nullptr, directory, &startup, &process);
  DWORD error = ready ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
  std::free(line);
  std::free(program);
  std::free(directory);
  if (!started) {
    char reason[256];
    ErrorText(error, reason, sizeof reason);
    char name[MaxName * 3];
    ToUtf8(path, name, sizeof name);
    err->Set("cannot run '%s': %s", Shown(name).text, reason);
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? NotFound : CannotRun;
  }
  return static_cast<int>(RunToEnd(folder, process));
}

// The Windows stub decodes and writes on one thread, which keeps it small and
// simple; the extraction's second thread pays on POSIX, where it was measured.
struct Worker::State {};

Worker::~Worker() {}
bool Worker::Start(void (*)(void*), void*) { return false; }
void Worker::Join() {}
void Worker::Lock() {}
void Worker::Unlock() {}
void Worker::Wait() {}
void Worker::WakeAll() {}
