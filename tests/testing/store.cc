#include "testing/store.h"

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "msgfile/msgfile.h"

namespace fs = std::filesystem;

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
  Bytes bytes(ENCRYPTED_FILE_SIGNATURE, ENCRYPTED_FILE_SIGNATURE + SIGNATURE_SIZE);
  for (uint8_t b : Le32(uid)) bytes.push_back(b ^ UID_MASK);
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

RunResult Store::Run(const std::vector<std::string>& args,
                     const std::string& environment) const {
  fs::path out = scratch_.path() / "stdout";
  fs::path status = scratch_.path() / "status";
  std::string command = "cd " + Quote(root().string()) + " && " + environment + " " +
                        Quote(MAILTALLY_BINARY);
  for (const std::string& arg : args) command += " " + Quote(arg);
  command += " >" + Quote(out.string()) + " 2>/dev/null </dev/null; echo $? >" +
             Quote(status.string());
  std::system(command.c_str());
  return {ReadText(out), std::atoi(ReadText(status).c_str())};
}

std::string Store::Heading(const std::string& path) const {
  return (root() / path).string();
}

std::string Store::Relative(const std::string& path) { return "./" + path; }

std::string Report(const std::string& lines) {
  return "MailTally - message UID check and repair for the KORVA mail store\n\n" + lines;
}
