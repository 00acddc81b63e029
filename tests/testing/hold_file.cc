// A stand-in for a mail server writing a message file, for the Wine suite:
// a Win32 program that opens the file PATH with no sharing, creates the
// file READY once it holds it, keeps it for MILLISECONDS or, when RELEASE
// is given, until the file RELEASE exists (MILLISECONDS at most), then
// closes it and creates DONE. Cross-built with MinGW, it runs under the same
// wineserver as the tool, which is what refuses the tool's opens.
//   hold_file PATH MILLISECONDS READY DONE [RELEASE]
#include <windows.h>

#include <cstdlib>

namespace {

void Touch(const char* path) {
  HANDLE mark = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) return 2;
  HANDLE held = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  Touch(argv[3]);
  const DWORD most = static_cast<DWORD>(std::atoi(argv[2]));
  if (argc == 5) {
    Sleep(most);
  } else {
    // Held for as long as the run takes, however slow the machine.
    const DWORD start = GetTickCount();
    while (GetFileAttributesA(argv[5]) == INVALID_FILE_ATTRIBUTES && GetTickCount() - start < most)
      Sleep(10);
  }
  CloseHandle(held);
  Touch(argv[4]);
  return 0;
}
