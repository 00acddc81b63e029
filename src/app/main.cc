#include <string>
#include <vector>

#include "app/app.h"
#include "platform/platform.h"

#ifdef _WIN32
// The C runtime hands main its arguments in the ANSI code page, with a
// look-alike for each letter the page lacks: "－ｆｉｘ" and "-fıx" would
// arrive as "-fix". wmain takes them as typed (linked with -municode).
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(NarrowArgument(argv[i]));
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  return RunMailTally(argc, pointers.data());
}
#else
int main(int argc, char** argv) { return RunMailTally(argc, argv); }
#endif
