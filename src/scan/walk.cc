#include <algorithm>

#include "msgfile/msgfile.h"
#include "scan/scan.h"

DirectoryIndex BuildDirectoryIndex(Directory* dir,
                                   const std::vector<std::string>& names,
                                   uint32_t& dirMax) {
  DirectoryIndex index;
  index.reserve(names.size());
  dirMax = 0;
  for (const std::string& name : names) {
    uint32_t uid = ReadMessageUid(dir, name);
    dirMax = std::max(dirMax, uid);
    index.push_back({uid, name});
  }
  std::stable_sort(index.begin(), index.end(),
                   [](const FileEntry& a, const FileEntry& b) { return a.uid < b.uid; });
  return index;
}

bool ScanDirectory(std::string& dirPath, Directory* dir, Mode mode, int depth,
                   RunTotals& totals, VisitedDirectories& visited) {
  DirectoryListing listing;
  ListDirectory(dir, depth > 0, listing);
  if (depth > 0) {
    uint32_t dirMax = 0;
    bool consistent;
    {
      DirectoryIndex index = BuildDirectoryIndex(dir, listing.messageFiles, dirMax);
      consistent = CheckDuplicates(index, dir, dirPath, mode, dirMax, totals);
    }
    totals.highestUid = std::max(totals.highestUid, dirMax);
    if (!consistent) return false;
  }
  size_t parentLength = dirPath.size();
  for (const std::string& name : listing.subdirectories) {
    Directory* child = OpenSubdirectory(dir, name);
    if (child == nullptr) continue;
    bool goOn = true;
    if (visited.insert(GetDirectoryId(child)).second) {
      dirPath += PATH_SEPARATOR;
      dirPath += name;
      goOn = ScanDirectory(dirPath, child, mode, depth + 1, totals, visited);
      dirPath.resize(parentLength);
    }
    CloseDirectory(child);
    if (!goOn) break;
  }
  return true;
}
