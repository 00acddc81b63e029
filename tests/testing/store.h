// A message store in a temporary directory (under StoreDirectory()), and
// runs of the real mailtally binary in it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "testing/file_system.h"
#include "testing/temp_dir.h"

using Bytes = std::vector<uint8_t>;

// Whether the binary under test is mailtally.exe, run under Wine.
#ifdef MAILTALLY_WINE_PREFIX
constexpr bool RUNS_UNDER_WINE = true;
#else
constexpr bool RUNS_UNDER_WINE = false;
#endif

Bytes PlainMessage(uint32_t uid, const std::string& body = "Subject: hello\r\n");
Bytes EncryptedMessage(uint32_t uid, const std::string& body = "\x01\x02 data");
Bytes Le32(uint32_t value);

struct RunResult {
  std::string output;  // standard output, whole
  int status;          // exit status as the shell sees it (0 to 255)
  std::string errors;  // standard error, where the run kept it
};

class Store {
 public:
  const std::filesystem::path& root() const { return dir_.path(); }

  // Paths are relative to the store root, '/' between their parts.
  void Put(const std::string& path, const Bytes& bytes);
  Bytes Get(const std::string& path) const;
  void MakeDirectory(const std::string& path);

  // Every regular file under the root with its bytes; links not followed.
  std::map<std::string, Bytes> Snapshot() const;

  // Runs the binary under test in the root. Its output is given with "\n"
  // line ends, whatever its platform wrote. `environment` is put before the
  // command as the shell takes it, for example "MAILTALLY_READERS=0"; so is
  // the environment variable MAILTALLY_RUN_PREFIX, when set (for example a
  // valgrind command line).
  RunResult Run(const std::vector<std::string>& args = {},
                const std::string& environment = "") const;

  // Runs the binary under test in the root as Run does, but with standard
  // output sent where `output` says, as the shell takes it after a command
  // (">/dev/full", ">&-", "| head -n 1"), standard input taken as `input`
  // says ("<&-" closes it), and standard error kept in `errors`; the
  // result's `output` is empty. `environment` is put before the command as
  // Run takes it.
  RunResult RunWithOutput(const std::vector<std::string>& args, const std::string& output,
                          const std::string& input = "</dev/null",
                          const std::string& environment = "") const;

  // The directory heading the tool prints for a mailbox, and the path it
  // prints for a file, as the platform of the binary under test forms them.
  std::string Heading(const std::string& path) const;
  static std::string Relative(const std::string& path);

  // Text the binary under test wrote, with "\n" line ends.
  static std::string AsWritten(std::string text);

  // The shell command that starts the binary in the root, without its
  // redirections.
  std::string Command(const std::vector<std::string>& args,
                      const std::string& environment) const;

 private:
  TempDir dir_{StoreDirectory()};

  TempDir scratch_;  // the run's output, kept out of the store
};

// An argument as the binary under test receives it, and shows it back in a
// refusal: as given natively; under Wine as the UTF-8 Wine passes on.
std::string AsPassed(const std::string& arg);

// The banner and its empty line, then `lines`.
std::string Report(const std::string& lines);
