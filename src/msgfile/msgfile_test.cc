#include "msgfile/msgfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "platform/platform.h"
#include "testing/temp_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Signature() {
  return Bytes(ENCRYPTED_FILE_SIGNATURE, ENCRYPTED_FILE_SIGNATURE + SIGNATURE_SIZE);
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes Masked(uint32_t uid) {
  Bytes field;
  for (int i = 0; i < 4; ++i) field.push_back(static_cast<uint8_t>(uid >> (8 * i)) ^ UID_MASK);
  return field;
}

const Bytes BODY = {'R', 'e', 'c', 'e', 'i', 'v', 'e', 'd', ':', ' ', 'x', '\r', '\n'};

class MessageFileTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = OpenDirectory(temp_.path().string()); }
  void TearDown() override { CloseDirectory(dir_); }

  void Write(const std::string& name, const Bytes& bytes) {
    std::ofstream(temp_.path() / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  Bytes Read(const std::string& name) {
    std::ifstream in(temp_.path() / name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  TempDir temp_;
  Directory* dir_ = nullptr;
};

struct ReadCase {
  const char* what;
  Bytes bytes;
  uint32_t uid;
};

TEST_F(MessageFileTest, ReadsTheUidOfEitherLayout) {
  Bytes nearly = Signature();
  nearly[19] ^= 0xFF;
  Bytes cut = Signature();
  cut.pop_back();
  const ReadCase cases[] = {
      {"plain", Concat({0x2a, 0, 0, 0}, BODY), 42},
      {"plain, high bit set", {0x00, 0x00, 0x00, 0x80}, 2147483648u},
      {"plain, highest", {0xff, 0xff, 0xff, 0xff, 0x01}, 4294967295u},
      {"plain, two bytes", {0x05, 0x01}, 261},
      {"empty", {}, 0},
      {"encrypted", Concat(Concat(Signature(), Masked(42)), BODY), 42},
      {"encrypted, highest", Concat(Signature(), Masked(4294967295u)), 4294967295u},
      {"encrypted, one byte of the UID", Concat(Signature(), {0x99}), 42},
      {"signature alone", Signature(), 0},
      {"19 bytes of the signature", Concat(nearly, Masked(42)), 0xf22357aa},
      {"signature cut to 19 bytes", cut, 0xf22357aa},
  };
  for (const ReadCase& c : cases) {
    Write("I1.DAT", c.bytes);
    EXPECT_EQ(ReadMessageUid(dir_, "I1.DAT"), c.uid) << c.what;
  }
  EXPECT_EQ(ReadMessageUid(dir_, "IMISSING.DAT"), 0u);
}

struct WriteCase {
  const char* what;
  Bytes before;
  uint32_t oldUid;
  Bytes after;
};

TEST_F(MessageFileTest, RewritesOnlyTheUidFieldInTheFilesOwnLayout) {
  Bytes nearly = Signature();
  nearly[19] ^= 0xFF;
  const WriteCase cases[] = {
      {"plain", Concat({7, 0, 0, 0}, BODY), 7, Concat({0x2a, 0, 0, 0}, BODY)},
      {"plain, two bytes grow to four", {0x05, 0x01}, 261, {0x2a, 0, 0, 0}},
      {"empty grows to four", {}, 0, {0x2a, 0, 0, 0}},
      {"encrypted", Concat(Concat(Signature(), Masked(7)), BODY), 7,
       Concat(Concat(Signature(), Masked(42)), BODY)},
      {"encrypted, short field", Concat(Signature(), {0xb4}), 7,
       Concat(Signature(), Masked(42))},
      {"19 bytes of the signature are plain", Concat(nearly, BODY), 0xf22357aa,
       [&] {
         Bytes b = Concat(nearly, BODY);
         b[0] = 0x2a, b[1] = 0, b[2] = 0, b[3] = 0;
         return b;
       }()},
  };
  for (const WriteCase& c : cases) {
    Write("I1.DAT", c.before);
    WriteMessageUid(dir_, "I1.DAT", "./I1.DAT", c.oldUid, 42);
    EXPECT_EQ(Read("I1.DAT"), c.after) << c.what;
    EXPECT_EQ(ReadMessageUid(dir_, "I1.DAT"), 42u) << c.what;
  }
}

TEST_F(MessageFileTest, RefusedRewritesLeaveTheFileAsItWas) {
  const Bytes stored = Concat({7, 0, 0, 0}, BODY);
  Write("I1.DAT", stored);
  Write("I2.DAT", stored);
  std::filesystem::permissions(temp_.path() / "I2.DAT",
                               std::filesystem::perms::owner_read |
                                   std::filesystem::perms::group_read);
  ASSERT_EQ(ReadMessageUid(dir_, "I2.DAT"), 7u) << "a read-only file reads normally";

  testing::internal::CaptureStdout();
  WriteMessageUid(dir_, "I1.DAT", "./I1.DAT", 8, 42);
  WriteMessageUid(dir_, "I2.DAT", "./I2.DAT", 7, 42);
  WriteMessageUid(dir_, "I3.DAT", "./I3.DAT", 0, 42);
  // A device in a message file's place reads as an empty file, UID 0.
  std::filesystem::create_symlink("/dev/null", temp_.path() / "I4.DAT");
  WriteMessageUid(dir_, "I4.DAT", "./I4.DAT", 0, 42);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error UIDL of file \"./I1.DAT\" changed since it was read\n"
            "Error opening file \"./I2.DAT\"\n"
            "Error opening file \"./I3.DAT\"\n"
            "Error opening file \"./I4.DAT\"\n");
  EXPECT_EQ(Read("I1.DAT"), stored);
  EXPECT_EQ(Read("I2.DAT"), stored);
  EXPECT_FALSE(std::filesystem::exists(temp_.path() / "I3.DAT"));
}

TEST_F(MessageFileTest, AFileChangedSinceItWasReadIsNotRewritten) {
  const Bytes cases[][2] = {
      {Concat({3, 0, 0, 0}, BODY), Concat({4, 0, 0, 0}, BODY)},
      {Concat(Signature(), Masked(3)), Concat(Signature(), Masked(4))},
      {Concat({3, 0, 0, 0}, BODY), Concat(Signature(), Masked(5))},
  };
  for (const auto& [read, changed] : cases) {
    Write("I1.DAT", read);
    uint32_t uid = ReadMessageUid(dir_, "I1.DAT");
    Write("I1.DAT", changed);  // as the server might, between the walk and the fix
    testing::internal::CaptureStdout();
    WriteMessageUid(dir_, "I1.DAT", "./I1.DAT", uid, 42);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Error UIDL of file \"./I1.DAT\" changed since it was read\n");
    EXPECT_EQ(Read("I1.DAT"), changed);
  }
}

// The walk's check for links comes before the rewrite; the rewrite checks
// again on the file it opened, so a name linked in between is not written
// through either.
TEST_F(MessageFileTest, ALinkedFileIsNotWrittenThrough) {
  namespace fs = std::filesystem;
  const Bytes stored = Concat({7, 0, 0, 0}, BODY);
  Write("I1.DAT", stored);
  fs::create_hard_link(temp_.path() / "I1.DAT", temp_.path() / "I2.DAT");
  Write("I3.DAT", stored);
  fs::create_symlink("I3.DAT", temp_.path() / "I4.DAT");
  fs::create_symlink("missing", temp_.path() / "I5.DAT");
  for (const char* name : {"I1.DAT", "I2.DAT", "I4.DAT", "I5.DAT"})
    EXPECT_TRUE(IsLinkedFile(dir_, name)) << name;
  EXPECT_FALSE(IsLinkedFile(dir_, "I3.DAT"));
  EXPECT_FALSE(IsLinkedFile(dir_, "IMISSING.DAT"));

  testing::internal::CaptureStdout();
  WriteMessageUid(dir_, "I2.DAT", "./I2.DAT", 7, 42);
  WriteMessageUid(dir_, "I4.DAT", "./I4.DAT", 7, 42);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "Error opening file \"./I2.DAT\"\nError opening file \"./I4.DAT\"\n");
  EXPECT_EQ(Read("I1.DAT"), stored);
  EXPECT_EQ(Read("I3.DAT"), stored);

  // Its other name gone, the file is written as any other.
  fs::remove(temp_.path() / "I1.DAT");
  EXPECT_FALSE(IsLinkedFile(dir_, "I2.DAT"));
  WriteMessageUid(dir_, "I2.DAT", "./I2.DAT", 7, 42);
  EXPECT_EQ(ReadMessageUid(dir_, "I2.DAT"), 42u);
}

TEST_F(MessageFileTest, ARewriteThatWouldTurnAPlainFileEncryptedIsRefused) {
  // Bytes 4 to 19 match the signature's: the UID that equals its first four
  // bytes would make the file read as encrypted.
  const Bytes tail(ENCRYPTED_FILE_SIGNATURE + 4, ENCRYPTED_FILE_SIGNATURE + SIGNATURE_SIZE);
  const Bytes stored = Concat(Concat({7, 0, 0, 0}, tail), BODY);
  const uint32_t signatureHead = 0xf22357aa;
  Write("I1.DAT", stored);
  testing::internal::CaptureStdout();
  WriteMessageUid(dir_, "I1.DAT", "./I1.DAT", 7, signatureHead);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Error setting UIDL\n");
  EXPECT_EQ(Read("I1.DAT"), stored);

  WriteMessageUid(dir_, "I1.DAT", "./I1.DAT", 7, signatureHead + 1);
  EXPECT_EQ(ReadMessageUid(dir_, "I1.DAT"), signatureHead + 1);
}

}  // namespace
