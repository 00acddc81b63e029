// A fix run killed at any point and run again leaves the store as one
// uninterrupted run would: renumbering hands out UIDs in a fixed order
// above each mailbox's highest, so the files a killed run already rewrote
// drop out of their groups and the next run carries on where it stopped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

#include "testing/fix_record.h"
#include "testing/store.h"

namespace {

// Many duplicates in a few mailboxes; the same store for the same seed.
void MakeStore(Store& store) {
  std::mt19937 random(7);
  for (int box = 0; box < 4; ++box) {
    for (int i = 0; i < 500; ++i) {
      uint32_t uid = random() % 60 + 1;
      std::string path = "box" + std::to_string(box) + "/I" + std::to_string(i) + ".DAT";
      store.Put(path, random() % 2 ? PlainMessage(uid) : EncryptedMessage(uid));
    }
  }
  store.Put("nextuidl.dat", Le32(3));
}

// Starts a fix run and sends it `signal` (KILL, TERM) after `seconds`, if
// it is still running then. Its report goes to `output`.
void RunFixKilledAfter(const Store& store, double seconds, const std::string& signal = "KILL",
                       const std::string& output = "/dev/null") {
  char delay[32];
  snprintf(delay, sizeof delay, "%.4f", seconds);
  // --foreground: timeout signals the tool alone and waits for its end.
  // Otherwise it signals its whole process group, itself included, and
  // SIGKILL ends it before the tool is gone: the next run would start beside
  // a fix that is still exiting, and find the store locked.
  std::string command = "cd '" + store.root().string() + "' && timeout --foreground -s " +
                        signal + " " + delay + " '" + MAILTALLY_BINARY + "' -fix >'" + output +
                        "' 2>/dev/null </dev/null";
  std::system(command.c_str());
}

// When to stop the `index`th of `count` runs of a fix that takes `seconds`:
// spread over the whole run and a little past it, at random within each step.
double StopPoint(double seconds, int index, int count, std::mt19937& random) {
  return seconds * 1.2 * (index + std::uniform_real_distribution<double>(0, 1)(random)) / count;
}

TEST(Interrupted, AKilledFixRunIsSafeToRepeat) {
  const int KILLS = 30;
  Store reference;
  MakeStore(reference);
  const Files original = reference.Snapshot();
  auto start = std::chrono::steady_clock::now();
  reference.Run({"-fix"});
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const Files fixed = reference.Snapshot();
  ASSERT_NE(fixed, original);
  ASSERT_EQ(reference.Run().output, Report("Total Errors = 0\n"));

  std::mt19937 random(11);
  int partial = 0;
  for (int kill = 0; kill < KILLS && !::testing::Test::HasFailure(); ++kill) {
    double at = StopPoint(seconds, kill, KILLS, random);
    SCOPED_TRACE("killed after " + std::to_string(at) + " s of a " + std::to_string(seconds) +
                 " s run");
    Store store;
    MakeStore(store);
    RunFixKilledAfter(store, at);
    Files interrupted = store.Snapshot();
    if (interrupted != original && interrupted != fixed) ++partial;
    store.Run({"-fix"});
    EXPECT_TRUE(store.Snapshot() == fixed);
    EXPECT_EQ(store.Run().output, Report("Total Errors = 0\n"));
  }
  EXPECT_GT(partial, 0) << "no kill came in the middle of a run: nothing was shown";
  std::printf("%d of %d kills left the store half fixed\n", partial, KILLS);
}

// Stopped by SIGTERM (a service stop; Ctrl-C's SIGINT has the same default
// action) with its report going to a file, a fix run leaves a report that
// names every file it changed: a file's line is out before it is rewritten,
// and the report before the counter is raised.
TEST(Interrupted, AStoppedFixRunReportsEveryChangeItMade) {
  const int STOPS = 30;
  const FixRecord record = RecordFix(MakeStore);
  ASSERT_GT(record.changes.size(), 1000u);
  const double seconds = record.fixSeconds;

  std::mt19937 random(13);
  int partial = 0;
  for (int stop = 0; stop < STOPS && !::testing::Test::HasFailure(); ++stop) {
    double at = StopPoint(seconds, stop, STOPS, random);
    SCOPED_TRACE("stopped after " + std::to_string(at) + " s of a " + std::to_string(seconds) +
                 " s run");
    Store store;
    MakeStore(store);
    TempDir place;
    RunFixKilledAfter(store, at, "TERM", (place.path() / "report").string());
    std::ifstream in(place.path() / "report", std::ios::binary);
    std::string report(std::istreambuf_iterator<char>(in), {});

    EXPECT_EQ(MovedTo(store, record, record.fixReport).compare(0, report.size(), report), 0)
        << report;
    int made = CountChangesMade(record, store.Snapshot());
    int shown = CountChangesShown(report);
    EXPECT_GE(made, 0) << "the run changed files out of order, or other bytes";
    // The last line shown may be of a file the stop came before.
    EXPECT_TRUE(made == shown || made == shown - 1)
        << made << " changes made, " << shown << " shown in the report";
    if (made > 0 && made < static_cast<int>(record.changes.size())) ++partial;
  }
  EXPECT_GT(partial, 0) << "no stop came in the middle of a run: nothing was shown";
  std::printf("%d of %d stops left the store half fixed\n", partial, STOPS);
}

}  // namespace
