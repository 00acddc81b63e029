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

// Whether `text` is well-formed UTF-8 (no surrogates, nothing overlong).
[[maybe_unused]] bool IsUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t length = c < 0x80 ? 1 : c < 0xC2 ? 0 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : c < 0xF5 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    uint32_t code = length == 1 ? c : c & (0x7F >> length);
    for (size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < least[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += length;
  }
  return true;
}

std::string WithSeparator(std::string path) {
  for (char& c : path)
    if (c == '/') c = SEPARATOR;
  return path;
}

}  // namespace

// Wine reads the Linux command line as UTF-8 and hands the program the
// UTF-16 of it. Text that is UTF-8 travels as it is; in other text (a test
// of the byte 0xC9), each byte from 0x80 up travels as the UTF-8 of the
// Latin-1 letter it stands for (U+00C9), which the program then reads and
// shows back as that UTF-8.
std::string AsPassed(const std::string& arg) {
#ifdef MAILTALLY_WINE_PREFIX
  if (IsUtf8(arg)) return arg;
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

namespace {

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
