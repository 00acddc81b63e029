// A stand-in for a mail server writing a message file, for the Wine suite:
// a Win32 program that opens the file PATH with no sharing, creates the
// file READY once it holds it, keeps it for MILLISECONDS, then closes it
// and creates DONE. Cross-built with MinGW, it runs under the same
// wineserver as the tool, which is what refuses the tool's opens.
//   hold_file PATH MILLISECONDS READY DONE
#include <windows.h>

#include <cstdlib>

namespace {

void Touch(const char* path) {
  HANDLE mark = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (mark != INVALID_HANDLE_VALUE) CloseHandle(mark);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  HANDLE held = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (held == INVALID_HANDLE_VALUE) return 1;
  Touch(argv[3]);
  Sleep(static_cast<DWORD>(std::atoi(argv[2])));
  CloseHandle(held);
  Touch(argv[4]);
  return 0;
}
