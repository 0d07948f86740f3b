// A small Windows program for the Wine tests to pack: it prints its raw
// command line tail, its arguments one a line in brackets, its working
// folder, what the stub told it of the caller's folder and the package, and
// the data file packed beside it; "exit=N" makes it exit with N, and
// "sleep=N" makes it wait N milliseconds first and then print "woke", and
// "spawn=PATH" starts PATH with "sleep=1500" and leaves it running.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
  const char* line = GetCommandLineA();
  std::printf("line=%s\n", line);
  int status = 0, sleep_ms = 0;
  const char* spawn = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::printf("[%s]\n", argv[i]);
    if (std::strncmp(argv[i], "exit=", 5) == 0) status = std::atoi(argv[i] + 5);
    if (std::strncmp(argv[i], "sleep=", 6) == 0) sleep_ms = std::atoi(argv[i] + 6);
    if (std::strncmp(argv[i], "spawn=", 6) == 0) spawn = argv[i] + 6;
  }
  char folder[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, folder);
  std::printf("cwd=%s\n", folder);
  const char* caller = std::getenv("TUVO_CALLER_DIR");
  const char* package = std::getenv("TUVO_PACKAGE");
  std::printf("caller=%s\npackage=%s\n", caller ? caller : "", package ? package : "");
  char data[MAX_PATH];
  GetModuleFileNameA(nullptr, data, MAX_PATH);
  char* slash = std::strrchr(data, '\\');
  if (slash != nullptr) std::strcpy(slash + 1, "data.txt");
  if (FILE* file = std::fopen(data, "rb")) {
    char text[256] = {};
    size_t got = std::fread(text, 1, sizeof text - 1, file);
    text[got] = 0;
    std::printf("data=%s\n", text);
    std::fclose(file);
  }
  std::fflush(stdout);
  if (spawn != nullptr) {
    char command[MAX_PATH + 32];
    std::snprintf(command, sizeof command, "\"%s\" sleep=1500", spawn);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (CreateProcessA(spawn, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process)) {
      CloseHandle(process.hThread);
      CloseHandle(process.hProcess);
    }
  }
  if (sleep_ms > 0) {
    Sleep(static_cast<DWORD>(sleep_ms));
    std::printf("woke\n");
    std::fflush(stdout);
  }
  return status;
}
