// What the platform files share: plain text handling, no system call.
#include "platform/platform.h"

namespace {

char FoldCase(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - ('a' - 'A')) : c; }

}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i])) return false;
  return true;
}

bool IsMessageFileName(std::string_view name) {
  return name.size() >= 5 && FoldCase(name[0]) == 'I' &&
         EqualsIgnoringCase(name.substr(name.size() - 4), ".DAT");
}

std::string GetFullPath(const std::string& relativePath) {
  static const std::string root = GetWorkingDirectory();
  const std::string here = {'.', PATH_SEPARATOR};
  std::string_view rest = relativePath;
  while (rest.substr(0, here.size()) == here) rest.remove_prefix(here.size());
  if (rest.empty() || rest == ".") return root;
  std::string full = root;
  if (full.empty() || full.back() != PATH_SEPARATOR) full += PATH_SEPARATOR;
  return full.append(rest);
}
