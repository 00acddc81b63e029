#include "testing/fix_record.h"

#include <chrono>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

const std::string CHANGED_MARK = " - ID changed to ";
const std::string TOTAL_MARK = "Total Errors = ";
const std::string COUNTER = "nextuidl.dat";

// The report's whole lines; a last line without its end was cut short.
std::vector<std::string> WholeLines(const std::string& output) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; (end = output.find('\n', at)) != std::string::npos; at = end + 1)
    lines.push_back(output.substr(at, end - at));
  return lines;
}

// The paths of the renamed files in report order, read from the names the
// report gives under each mailbox's heading.
std::vector<std::string> ChangedFiles(const Store& store, const Files& files,
                                      const std::string& output) {
  std::map<std::string, std::string> mailboxes;  // heading line to path
  for (const auto& [path, bytes] : files) {
    std::string box = fs::path(path).parent_path().generic_string();
    if (!box.empty()) mailboxes["Checking " + store.Heading(box)] = box;
  }
  std::vector<std::string> changed;
  std::string box;
  for (const std::string& line : WholeLines(output)) {
    if (mailboxes.count(line)) box = mailboxes[line];
    size_t at = line.find(CHANGED_MARK);
    if (line.rfind("    ", 0) == 0 && at != std::string::npos)
      changed.push_back(box + "/" + line.substr(4, at - 4));
  }
  return changed;
}

}  // namespace

FixRecord RecordFix(void (*make)(Store&)) {
  Store store;
  make(store);
  FixRecord record;
  record.root = store.Heading("");
  record.before = store.Snapshot();
  record.checkReport = store.Run().output;
  auto start = std::chrono::steady_clock::now();
  record.fixReport = store.Run({"-fix"}).output;
  record.fixSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  record.after = store.Snapshot();
  record.changes = ChangedFiles(store, record.before, record.fixReport);
  if (record.before.count(COUNTER) && record.before.at(COUNTER) != record.after.at(COUNTER))
    record.changes.push_back(COUNTER);
  return record;
}

std::string MovedTo(const Store& store, const FixRecord& record, std::string report) {
  const std::string root = store.Heading("");
  for (size_t at = 0; (at = report.find(record.root, at)) != std::string::npos; at += root.size())
    report.replace(at, record.root.size(), root);
  return report;
}

int CountChangesMade(const FixRecord& record, const Files& now) {
  size_t made = 0;
  while (made < record.changes.size() && now.count(record.changes[made]) &&
         now.at(record.changes[made]) == record.after.at(record.changes[made]))
    ++made;
  Files expected = record.before;
  for (size_t i = 0; i < made; ++i) expected[record.changes[i]] = record.after.at(record.changes[i]);
  return now == expected ? static_cast<int>(made) : -1;
}

int CountChangesShown(const std::string& output) {
  int shown = 0;
  for (const std::string& line : WholeLines(output))
    if (line.find(CHANGED_MARK) != std::string::npos || line.rfind(TOTAL_MARK, 0) == 0) ++shown;
  return shown;
}
