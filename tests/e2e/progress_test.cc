// The status line, end to end: the binary runs under `script`, which gives
// it a pseudo-terminal; what reached the terminal is replayed the way a
// terminal shows it, carriage returns overwriting the line.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "testing/store.h"

namespace {

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The lines a terminal shows after `bytes`, blanks at their ends dropped.
std::string Screen(const std::string& bytes) {
  std::string screen, line;
  size_t column = 0;
  auto endLine = [&] {
    line.erase(line.find_last_not_of(' ') + 1);
    screen += line + "\n";
    line.clear();
    column = 0;
  };
  for (char c : bytes) {
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      endLine();
    } else {
      if (column < line.size()) line[column] = c;
      else line += c;
      ++column;
    }
  }
  if (!line.empty()) endLine();
  // An erased status line leaves a blank last line.
  while (screen.size() >= 2 && screen.compare(screen.size() - 2, 2, "\n\n") == 0) screen.pop_back();
  if (screen == "\n") screen.clear();
  return screen;
}

// Where the run's standard output and standard error go.
enum class Streams { OUTPUT_TO_FILE, BOTH_ON_TERMINAL, ERROR_TO_FILE };

struct Capture {
  std::string terminal;  // everything written to the terminal
  std::string file;      // the stream sent to a file, if any
};

Capture RunOnTerminal(const Store& store, Streams streams) {
  TempDir scratch;
  const std::string file = (scratch.path() / "file").string();
  const std::string terminal = (scratch.path() / "terminal").string();
  std::string inner = "cd '" + store.root().string() + "' && '" MAILTALLY_BINARY "'";
  if (streams == Streams::OUTPUT_TO_FILE) inner += " >'" + file + "'";
  if (streams == Streams::ERROR_TO_FILE) inner += " 2>'" + file + "'";
  // script copies what the terminal received to its own standard output.
  const std::string command = "script -q -e -c \"" + inner + "\" /dev/null </dev/null >'" +
                              terminal + "' 2>&1";
  EXPECT_EQ(std::system(command.c_str()), 0);
  return {ReadFile(terminal), ReadFile(file)};
}

TEST(Progress, OnlyOnATerminalAndNeverInTheReport) {
  Store store;
  for (const char* box : {"a", "b", "c/d"}) {
    store.Put(std::string(box) + "/I1.DAT", PlainMessage(4));
    store.Put(std::string(box) + "/I2.DAT", EncryptedMessage(4));
  }
  std::string lines;
  for (const char* box : {"a", "b", "c/d"})
    lines += "Checking " + store.Heading(box) + "\n2 messages with ID 4\n    I1.DAT\n    I2.DAT\n";
  const std::string report = Report(lines + "Total Errors = 6\n");

  struct Case {
    Streams streams;
    std::string screen;  // what the terminal shows at the end
    std::string file;
    bool lineDrawn;
  };
  const Case cases[] = {
      {Streams::OUTPUT_TO_FILE, "", report, true},
      {Streams::BOTH_ON_TERMINAL, report, "", true},
      {Streams::ERROR_TO_FILE, report, "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.streams));
    Capture run = RunOnTerminal(store, c.streams);
    EXPECT_EQ(Screen(run.terminal), c.screen);
    EXPECT_EQ(run.file, c.file);
    EXPECT_EQ(run.terminal.find("files read") != std::string::npos, c.lineDrawn);
  }
}

}  // namespace
