// What the platform files share: plain text handling, no system call.
#include "platform/platform.h"

#include <algorithm>

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

void AddName(NameList& list, std::string_view name) {
  list.bytes.append(name);
  list.ends.push_back(list.bytes.size());
}

std::string_view NameAt(const NameList& list, size_t i) {
  size_t start = i == 0 ? 0 : list.ends[i - 1];
  return std::string_view(list.bytes).substr(start, list.ends[i] - start);
}

void SortNames(NameList& list, bool (*before)(std::string_view, std::string_view)) {
  std::vector<size_t> order(list.ends.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return before(NameAt(list, a), NameAt(list, b)); });
  NameList sorted;
  sorted.bytes.reserve(list.bytes.size());
  sorted.ends.reserve(list.ends.size());
  for (size_t i : order) AddName(sorted, NameAt(list, i));
  list = std::move(sorted);
}
