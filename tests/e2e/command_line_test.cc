// The command line, end to end: every run starts in a store with one
// duplicate pair and a counter that is too low, so a run that reads the
// store shows it in its report and a run that writes shows it in the bytes.
#include <gtest/gtest.h>

#include "testing/store.h"

namespace {

const char USAGE[] =
    "Usage - MAILTALLY            check message UIDs\n"
    "Usage - MAILTALLY -?         show this help\n"
    "Usage - MAILTALLY -fix       check and fix message UIDs\n";

void FillStore(Store& store) {
  store.Put("box1/I0001.DAT", PlainMessage(7));
  store.Put("box1/I0002.DAT", EncryptedMessage(7));
  store.Put("box1/I0003.DAT", PlainMessage(90));
  store.Put("nextuidl.dat", Le32(50));
}

std::string CheckReport(const Store& store) {
  return Report("Checking " + store.Heading("box1") +
                "\n"
                "2 messages with ID 7\n"
                "    I0001.DAT\n"
                "    I0002.DAT\n"
                "Total Errors = 2\n"
                "KORVA Global UID too low - 50 (needs to be at least 91)\n");
}

std::string FixReport(const Store& store) {
  return Report("Checking " + store.Heading("box1") +
                "\n"
                "2 messages with ID 7\n"
                "    I0001.DAT\n"
                "    I0002.DAT - ID changed to 91\n"
                "Total Errors = 2\n"
                "Set KORVA Global UID to 92 (was 50)\n");
}

enum class Outcome { CHECK, FIX, USAGE, REFUSED };

struct Case {
  std::vector<std::string> args;
  Outcome outcome;
  std::string refused = "";  // the argument as the refusal quotes it
};

TEST(CommandLine, ChoosesTheModeOrEndsBeforeReadingTheStore) {
  const std::string longWord(150, 'x');
  const std::string FULLWIDTH_FIX = "\xef\xbc\x8d\xef\xbd\x86\xef\xbd\x89\xef\xbd\x98";
  const Case cases[] = {
      {{}, Outcome::CHECK},
      {{"-fix"}, Outcome::FIX},
      {{"-FIX"}, Outcome::FIX},
      {{"-Fix", "-fix"}, Outcome::FIX},
      {{"-?"}, Outcome::USAGE},
      {{"-help"}, Outcome::USAGE},
      {{"-Help"}, Outcome::USAGE},
      {{"-HELP"}, Outcome::USAGE},
      {{"/?"}, Outcome::USAGE},
      {{"-fix", "-?"}, Outcome::USAGE},
      {{"--help"}, Outcome::REFUSED, "--help"},
      {{"fix"}, Outcome::REFUSED, "fix"},
      {{"-fix", "now", "-?"}, Outcome::REFUSED, "now"},
      {{"-fIx\xc9"}, Outcome::REFUSED, "-fIx\xc9"},
      // Letters that only look like A-Z: fullwidth "－ｆｉｘ", a dotless i.
      // Windows' ANSI arguments would turn both into "-fix".
      {{FULLWIDTH_FIX}, Outcome::REFUSED, FULLWIDTH_FIX},
      {{"-f\xc4\xb1x"}, Outcome::REFUSED, "-f\xc4\xb1x"},
      {{""}, Outcome::REFUSED, ""},
      {{longWord}, Outcome::REFUSED, std::string(100, 'x')},
  };
  for (const Case& c : cases) {
    std::string what = "args:";
    for (const std::string& arg : c.args) what += " [" + arg.substr(0, 10) + "]";
    Store store;
    FillStore(store);
    auto before = store.Snapshot();
    RunResult run = store.Run(c.args);
    switch (c.outcome) {
      case Outcome::CHECK:
        EXPECT_EQ(run.output, CheckReport(store)) << what;
        EXPECT_EQ(store.Snapshot(), before) << what;
        break;
      case Outcome::FIX:
        EXPECT_EQ(run.output, FixReport(store)) << what;
        EXPECT_EQ(store.Get("box1/I0002.DAT"), EncryptedMessage(91)) << what;
        EXPECT_EQ(store.Get("nextuidl.dat"), Le32(92)) << what;
        break;
      case Outcome::USAGE:
        EXPECT_EQ(run.output, Report(USAGE)) << what;
        EXPECT_EQ(store.Snapshot(), before) << what;
        break;
      case Outcome::REFUSED:
        EXPECT_EQ(run.output,
                  Report("Unrecognised parameter - \"" + AsPassed(c.refused) + "\"\n\n" + USAGE))
            << what;
        EXPECT_EQ(store.Snapshot(), before) << what;
        break;
    }
    EXPECT_EQ(run.status, c.outcome == Outcome::REFUSED ? 255 : 0) << what;
  }
}

}  // namespace
