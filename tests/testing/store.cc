#include "testing/store.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "testing/uid_field.h"

namespace fs = std::filesystem;

namespace {

// The forms of the binary under test: the native build, or mailtally.exe
// run under Wine, which sees the Linux root as drive Z: and ends its lines
// the Windows way.
#ifdef MAILTALLY_WINE_PREFIX
const char SEPARATOR = '\\';
const std::string DRIVE = "Z:";
#else
const char SEPARATOR = '/';
const std::string DRIVE = "";
#endif

std::string WithSeparator(std::string path) {
  for (char& c : path)
    if (c == '/') c = SEPARATOR;
  return path;
}

// Wine hands the program its arguments in its ANSI code page (1252) and
// reads them from the Linux command line as UTF-8: an argument meant to
// reach the program as the byte 0xC9 travels as the UTF-8 of U+00C9. Bytes
// 0x80-0x9F, where code page 1252 is not Latin-1, are not used by the tests.
std::string AsPassed(const std::string& arg) {
#ifdef MAILTALLY_WINE_PREFIX
  std::string utf8;
  for (unsigned char c : arg) {
    if (c < 0x80) {
      utf8 += static_cast<char>(c);
    } else {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return utf8;
#else
  return arg;
#endif
}

std::string Quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

Bytes Le32(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
          static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
}

Bytes PlainMessage(uint32_t uid, const std::string& body) {
  Bytes bytes = Le32(uid);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

Bytes EncryptedMessage(uint32_t uid, const std::string& body) {
  Bytes bytes(std::begin(ENCRYPTED_SIGNATURE), std::end(ENCRYPTED_SIGNATURE));
  for (uint8_t b : Le32(uid)) bytes.push_back(b ^ ENCRYPTED_UID_MASK);
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

void Store::Put(const std::string& path, const Bytes& bytes) {
  fs::path full = root() / path;
  fs::create_directories(full.parent_path());
  std::ofstream(full, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

Bytes Store::Get(const std::string& path) const {
  std::string text = ReadText(root() / path);
  return Bytes(text.begin(), text.end());
}

void Store::MakeDirectory(const std::string& path) { fs::create_directories(root() / path); }

std::map<std::string, Bytes> Store::Snapshot() const {
  std::map<std::string, Bytes> files;
  std::error_code ignored;
  for (auto it = fs::recursive_directory_iterator(
           root(), fs::directory_options::skip_permission_denied, ignored);
       it != fs::recursive_directory_iterator(); it.increment(ignored)) {
    if (it->is_regular_file(ignored) && !it->is_symlink(ignored)) {
      std::string relative = fs::relative(it->path(), root()).generic_string();
      files[relative] = Get(relative);
    }
  }
  return files;
}

std::string Store::Command(const std::vector<std::string>& args,
                           const std::string& environment) const {
  // A prefix such as a valgrind command line runs the tool under a checker.
  const char* prefix = std::getenv("MAILTALLY_RUN_PREFIX");
  std::string command = "cd " + Quote(root().string()) + " && " + environment + " ";
#ifdef MAILTALLY_WINE_PREFIX
  command += "WINEPREFIX=" + Quote(MAILTALLY_WINE_PREFIX) + " WINEDEBUG=-all wine ";
#endif
  if (prefix != nullptr) command += std::string(prefix) + " ";
  command += Quote(MAILTALLY_BINARY);
  for (const std::string& arg : args) command += " " + Quote(AsPassed(arg));
  return command;
}

RunResult Store::Run(const std::vector<std::string>& args,
                     const std::string& environment) const {
  fs::path out = scratch_.path() / "stdout";
  fs::path status = scratch_.path() / "status";
  std::string command = Command(args, environment);
  command += " >" + Quote(out.string()) + " 2>/dev/null </dev/null; echo $? >" +
             Quote(status.string());
  std::system(command.c_str());
  return {AsWritten(ReadText(out)), std::atoi(ReadText(status).c_str()), ""};
}

RunResult Store::RunWithOutput(const std::vector<std::string>& args, const std::string& output,
                               const std::string& input, const std::string& environment) const {
  fs::path errors = scratch_.path() / "stderr";
  fs::path status = scratch_.path() / "status";
  // The status is the tool's, not that of what reads its output.
  std::string command = "{ " + Command(args, environment) + " 2>" + Quote(errors.string()) + " " +
                        input + "; echo $? >" + Quote(status.string()) + "; } " + output;
  std::system(command.c_str());
  return {"", std::atoi(ReadText(status).c_str()), AsWritten(ReadText(errors))};
}

std::string Store::Heading(const std::string& path) const {
  return DRIVE + WithSeparator((root() / path).string());
}

std::string Store::Relative(const std::string& path) { return WithSeparator("./" + path); }

std::string Store::AsWritten(std::string text) {
#ifdef MAILTALLY_WINE_PREFIX
  for (size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos;) text.erase(at, 1);
#endif
  return text;
}

std::string Report(const std::string& lines) {
  return "MailTally - message UID check and repair for the KORVA mail store\n\n" + lines;
}
