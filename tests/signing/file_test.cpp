// SignFile: the file's own bytes are signed, whole, or the read is refused with a code.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "tests/signing/fixture.h"

namespace velmor::testing {
namespace {

class SignFileTest : public SigningTest {
 protected:
  void SetUp() override {
    SigningTest::SetUp();
    cert_ = ImportSigner();
  }

  // Signs `path` and checks the result with the peer over the same file.
  void ExpectSignedWhole(const std::filesystem::path& path) {
    SetSignFile(state_, path.string().c_str());
    const std::string result = Call(GetSignFile);
    ASSERT_EQ(result.rfind("F:00000256", 0), 0u) << result;
    EXPECT_TRUE(VerifiesWithOpenssl(cert_, path, result.substr(10)));
  }

  TestCert cert_;
};

TEST_F(SignFileTest, EmptyFile) {
  WriteFile(Dir() / "empty.bin", std::string());
  ExpectSignedWhole(Dir() / "empty.bin");
}

TEST_F(SignFileTest, BinaryBytesAreHashedToTheEnd) {
  std::vector<std::uint8_t> bytes = {'a', 0x00, 'b', 0x1A, 'c', '\r', '\n', 0xFF};
  WriteFile(Dir() / "binary.bin", bytes);
  ExpectSignedWhole(Dir() / "binary.bin");
}

TEST_F(SignFileTest, FileOfSeveralPieces) {
  // Not a multiple of any power-of-two piece size, so the last piece is a short one.
  std::vector<std::uint8_t> bytes(3 * 1024 * 1024 + 17);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 31 + 7);
  WriteFile(Dir() / "pieces.bin", bytes);
  ExpectSignedWhole(Dir() / "pieces.bin");
}

TEST_F(SignFileTest, FileBeyondTwoGibibytes) {
  // A sparse file: its size needs more than a signed 32-bit position.
  const auto path = Dir() / "large.bin";
  {
    std::FILE* file = std::fopen(path.string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(ftruncate(fileno(file), (off_t{1} << 31) + 4), 0);
    ASSERT_EQ(fseeko(file, 0, SEEK_END), 0);
    std::fputs("tail", file);
    std::fclose(file);
  }
  ExpectSignedWhole(path);
}

TEST_F(SignFileTest, UnreadablePathsAnswer0020) {
  std::filesystem::create_directory(Dir() / "folder");
  // A FIFO without a writer would block a plain open for ever.
  ASSERT_EQ(::mkfifo((Dir() / "fifo").string().c_str(), 0600), 0);
  WriteFile(Dir() / "locked.bin", std::string("secret"));
  ::chmod((Dir() / "locked.bin").string().c_str(), 0);
  const bool rootReadsAnything = ::geteuid() == 0;
  const std::filesystem::path paths[] = {Dir() / "missing.bin", "", Dir() / "folder",
                                         Dir() / "fifo", Dir() / "locked.bin"};
  for (const auto& path : paths) {
    if (path == Dir() / "locked.bin" && rootReadsAnything) continue;
    SetSignFile(state_, path.string().c_str());
    EXPECT_EQ(Call(GetSignFile), "E:0020") << path;
  }
}

TEST_F(SignFileTest, ShortReadIsNotSigned) {
  // A kernel attribute file claims a size of a whole page by seeking but reads only a few bytes:
  // signing the size found by seeking would sign bytes that were never read.
  const char* path = "/sys/devices/system/cpu/online";
  std::FILE* probe = std::fopen(path, "rb");
  if (probe == nullptr) GTEST_SKIP() << "no " << path;
  char bytes[8192];
  const std::size_t read = std::fread(bytes, 1, sizeof bytes, probe);
  const bool seeks = fseeko(probe, 0, SEEK_END) == 0;
  const off_t claimed = ftello(probe);
  std::fclose(probe);
  if (!seeks || claimed <= static_cast<off_t>(read)) GTEST_SKIP() << path << " reads whole";
  SetSignFile(state_, path);
  EXPECT_EQ(Call(GetSignFile), "E:0020");
}

TEST_F(SignFileTest, AnsiPathNamesTheFileUnderADoubleByteCodePage) {
  // The file system names the file in UTF-8 ("中文.txt"); the page's path arrives as GBK bytes.
  WriteFile(Dir() / "\xE4\xB8\xAD\xE6\x96\x87.txt", std::string("abc"));
  const UINT previous = GetACP();
  ASSERT_TRUE(com::SetAnsiCodePage(936));
  SetSignFile(state_, (Dir().string() + "/\xD6\xD0\xCE\xC4.txt").c_str());
  const std::string result = Call(GetSignFile);
  com::SetAnsiCodePage(previous);
  ASSERT_EQ(result.rfind("F:00000256", 0), 0u) << result;
  EXPECT_TRUE(VerifiesWithOpenssl(cert_, std::string("abc"), result.substr(10)));
}

TEST_F(SignFileTest, NothingSetYetAnswers0020) { EXPECT_EQ(Call(GetSignFile), "E:0020"); }

TEST_F(SignFileTest, OverlongPathIsRefusedNotCut) {
  // Cut to its first 255 characters, the path would name another file, which would be signed.
  const std::string directory = Dir().string() + "/";
  const std::string name(255 - directory.size(), 'n');
  ASSERT_LT(name.size(), 256u);
  WriteFile(directory + name, std::string("cut"));
  SetSignFile(state_, (directory + name + "tail-that-is-cut-off").c_str());
  EXPECT_EQ(Call(GetSignFile), "E:0020");
  SetSignFile(state_, (directory + name).c_str());  // 255 characters are taken
  EXPECT_EQ(Call(GetSignFile).rfind("F:", 0), 0u);
}

TEST_F(SignFileTest, FilesWhoseSizeDisagreesWithTheirBytesAreNotSigned) {
  // These report a size of 0 but have content: the signature would be that of zero bytes.
  for (const char* path : {"/proc/self/status", "/proc/self/environ"}) {
    SetSignFile(state_, path);
    EXPECT_EQ(Call(GetSignFile), "E:0020") << path;
  }
}

}  // namespace
}  // namespace velmor::testing
