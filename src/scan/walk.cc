#include <algorithm>

#include "msgfile/msgfile.h"
#include "scan/scan.h"

DirectoryIndex IndexMessageFiles(std::vector<std::string>& names,
                                 const std::vector<uint32_t>& uids, uint32_t& dirMax) {
  DirectoryIndex index;
  index.reserve(names.size());
  dirMax = 0;
  for (size_t i = 0; i < names.size(); ++i) {
    dirMax = std::max(dirMax, uids[i]);
    index.push_back({uids[i], std::move(names[i])});
  }
  // Stable: files of one UID keep their listing order.
  std::stable_sort(index.begin(), index.end(),
                   [](const FileEntry& a, const FileEntry& b) { return a.uid < b.uid; });
  return index;
}

DirectoryIndex BuildDirectoryIndex(Directory* dir, std::vector<std::string>& names,
                                   uint32_t& dirMax, Progress& progress) {
  std::vector<uint32_t> uids;
  uids.reserve(names.size());
  for (const std::string& name : names) {
    uids.push_back(ReadMessageUid(dir, name));
    ++progress.files;
    RefreshProgress(progress);
  }
  return IndexMessageFiles(names, uids, dirMax);
}

bool CheckMailbox(const DirectoryIndex& index, Directory* dir, const std::string& dirPath,
                  Mode mode, uint32_t dirMax, RunTotals& totals) {
  ++totals.progress.mailboxes;
  bool consistent = CheckDuplicates(index, dir, dirPath, mode, dirMax, totals);
  totals.highestUid = std::max(totals.highestUid, dirMax);
  RefreshProgress(totals.progress);
  return consistent;
}

void ScanStore(Directory* root, Mode mode, RunTotals& totals) {
  VisitedDirectories visited{GetDirectoryId(root)};
  std::string dirPath = ".";
  ScanDirectory(dirPath, root, mode, 0, totals, visited);
}

bool ScanDirectory(std::string& dirPath, Directory* dir, Mode mode, int depth,
                   RunTotals& totals, VisitedDirectories& visited) {
  DirectoryListing listing;
  ListDirectory(dir, depth > 0, listing);
  if (depth > 0) {
    uint32_t dirMax = 0;
    DirectoryIndex index =
        BuildDirectoryIndex(dir, listing.messageFiles, dirMax, totals.progress);
    listing.messageFiles = {};  // not kept while the subdirectories are walked
    if (!CheckMailbox(index, dir, dirPath, mode, dirMax, totals)) return false;
  }
  size_t parentLength = dirPath.size();
  for (const std::string& name : listing.subdirectories) {
    if (!CheckReportOutput(totals)) break;
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
