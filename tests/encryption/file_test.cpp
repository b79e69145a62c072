// EncryptFile and DecryptFile: FileEnvelopes opened by the `openssl` tool and made by it, the
// sizes around the 1000-byte blocks, a large file, short and lying headers, full disks,
// unreadable inputs, and links and earlier files at the output's name.
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>
#include <map>

#include "tests/encryption/fixture.h"

namespace velmor::testing {
namespace {

class FileEnvelopeTest : public EnvelopeTest {
 protected:
  std::string SealFile(const std::filesystem::path& path) {
    return Call([&](CtrlState& s) { return EncryptFile(s, path.string().c_str()); });
  }
  std::string OpenFile(const std::filesystem::path& path) {
    return Call([&](CtrlState& s) { return DecryptFile(s, path.string().c_str()); });
  }
  static Bytes Pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return b;
  }
};

class FileSizeTest : public FileEnvelopeTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(FileSizeTest, PeerOpensOursAndWeOpenThePeers) {
  const TestCert recipient = AddRecipient(2048);
  const Bytes plain = Pattern(GetParam());
  const auto path = Dir() / "statement.pdf";
  WriteFile(path, plain);
  ASSERT_EQ(SealFile(path), "A:0000");
  const Bytes sealed = ReadFile(Dir() / "statement.pdf.enc");
  EXPECT_EQ(sealed.size(), plain.size() + 8 + 12 + 256);
  EXPECT_EQ(OpenWithOpenssl(recipient, SplitFileEnvelope(sealed)), plain);
  // The name is appended to the whole path: a.pdf.enc opens into a.pdf.enc.dec.
  ASSERT_EQ(OpenFile(Dir() / "statement.pdf.enc"), "A:0000");
  EXPECT_EQ(ReadFile(Dir() / "statement.pdf.enc.dec"), plain);

  WriteFile(Dir() / "theirs.enc", JoinFileEnvelope(SealWithOpenssl(recipient, plain)));
  ASSERT_EQ(OpenFile(Dir() / "theirs.enc"), "A:0000");
  EXPECT_EQ(ReadFile(Dir() / "theirs.enc.dec"), plain);
}
INSTANTIATE_TEST_SUITE_P(Sizes, FileSizeTest,
                         ::testing::Values(0u, 1u, 999u, 1000u, 1001u, 2000u, 100'000u));

// Several hundred MiB in constant memory, and back to the same bytes.
TEST_F(FileEnvelopeTest, LargeFileRoundTrips) {
  AddRecipient();
  const auto path = Dir() / "large.bin";
  constexpr std::uintmax_t kSize = std::uintmax_t{300} << 20;
  {
    std::ofstream f(path, std::ios::binary);
    const Bytes chunk = Pattern(1 << 20);
    for (std::uintmax_t i = 0; i < (kSize >> 20); ++i) {
      f.write(reinterpret_cast<const char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
    }
  }
  ASSERT_EQ(SealFile(path), "A:0000");
  EXPECT_EQ(std::filesystem::file_size(Dir() / "large.bin.enc"), kSize + 8 + 12 + 128);
  ASSERT_EQ(OpenFile(Dir() / "large.bin.enc"), "A:0000");
  const CommandResult same =
      velmor::testing::Run("cmp '" + path.string() + "' '" + (Dir() / "large.bin.enc.dec").string() + "'");
  EXPECT_EQ(same.status, 0) << same.output;
}

TEST_F(FileEnvelopeTest, PathsAndOutputs) {
  AddRecipient();
  // 261 characters are refused before anything is touched; 260 pass the length test.
  const std::string tooLong = "/" + std::string(260, 'p');
  EXPECT_EQ(SealFile(tooLong), "E:0048");
  EXPECT_EQ(OpenFile(tooLong), "E:0048");
  EXPECT_EQ(SealFile("/" + std::string(259, 'p')), "E:0018");
  EXPECT_EQ(OpenFile("/" + std::string(259, 'p')), "E:0023");
  EXPECT_EQ(Call([](CtrlState& s) { return EncryptFile(s, nullptr); }), "E:0018");
  // A directory or a FIFO is no input; an output that is not a regular file is not written.
  EXPECT_EQ(SealFile(Dir()), "E:0018");
  const auto plain = Dir() / "a.txt";
  WriteFile(plain, std::string("abc"));
  std::filesystem::create_directory(Dir() / "a.txt.enc");
  EXPECT_EQ(SealFile(plain), "E:0038");
  std::filesystem::remove(Dir() / "a.txt.enc");
  // An existing output is overwritten; a new plaintext output is its owner's only.
  WriteFile(Dir() / "a.txt.enc", Pattern(5000));
  ASSERT_EQ(SealFile(plain), "A:0000");
  EXPECT_EQ(std::filesystem::file_size(Dir() / "a.txt.enc"), 3u + 8 + 12 + 128);
  ASSERT_EQ(OpenFile(Dir() / "a.txt.enc"), "A:0000");
  EXPECT_EQ((std::filesystem::status(Dir() / "a.txt.enc.dec").permissions() &
             std::filesystem::perms::all),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// Headers that end early or lie: the input is never read past its end, and a failed call
// leaves no ".dec" behind.
struct HeaderCase {
  const char* name;
  std::string content;
  const char* expected;
};
class HeaderTest : public FileEnvelopeTest, public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(HeaderTest, Refused) {
  AddRecipient();
  const auto path = Dir() / "in.enc";
  WriteFile(path, GetParam().content);
  EXPECT_EQ(OpenFile(path), GetParam().expected);
  EXPECT_FALSE(std::filesystem::exists(Dir() / "in.enc.dec"));
}
INSTANTIATE_TEST_SUITE_P(
    Headers, HeaderTest,
    ::testing::Values(HeaderCase{"Empty", "", "E:0033"},
                      HeaderCase{"InsideTheHeader", "0000014", "E:0033"},
                      HeaderCase{"InsideTheBlob", "00000140" + std::string(100, 'k'), "E:0033"},
                      HeaderCase{"BlobBeyondTheFile", "99999999abc", "E:0033"},
                      HeaderCase{"NegativeBlob", "-0000001abc", "E:0033"},
                      HeaderCase{"NotANumber", "abcdefgh" + std::string(140, 'k'),
                                 "E:0005 80090004 -2146893820"}),
    [](const ::testing::TestParamInfo<HeaderCase>& p) { return std::string(p.param.name); });

// An output that cannot be written completely is a failure, never "A:0000".
TEST_F(FileEnvelopeTest, FullDiskIsReported) {
  const TestCert recipient = AddRecipient();
  const Bytes plain = Pattern(200'000);
  WriteFile(Dir() / "big.bin", plain);
  WriteFile(Dir() / "theirs.enc", JoinFileEnvelope(SealWithOpenssl(recipient, plain)));
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto previous = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = old;
  small.rlim_cur = 100'000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::string sealed = SealFile(Dir() / "big.bin");
  const std::string opened = OpenFile(Dir() / "theirs.enc");
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, previous);
  EXPECT_EQ(sealed, "E:0039");
  EXPECT_EQ(opened, "E:0014");
  // Nothing of either output stays: not the outputs, not their new files.
  std::size_t entries = 0;
  for (const auto& entry : std::filesystem::directory_iterator(Dir())) {
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".enc."), std::string::npos) << name;
    EXPECT_NE(name, "big.bin.enc");
    ++entries;
  }
  EXPECT_GT(entries, 0u);
}

// A read that fails before the end of the input ends the call with a code.
TEST_F(FileEnvelopeTest, ReadErrorIsReported) {
  AddRecipient();
  // A regular file whose first bytes cannot be read (address 0 of this process).
  std::filesystem::create_symlink("/proc/self/mem", Dir() / "memory");
  EXPECT_EQ(SealFile(Dir() / "memory"), "E:0019");
}

TEST_F(FileEnvelopeTest, KeysAreTakenBeforeFilesWhenSealing) {
  // No recipient: EncryptFile stops before it opens anything; DecryptFile opens both files and
  // reads the header before it looks for the key (an output it cannot create is reported
  // first), and leaves no output when the key is missing.
  const auto path = Dir() / "x.bin";
  WriteFile(path, std::string("abc"));
  EXPECT_EQ(SealFile(path), "E:0003");
  EXPECT_FALSE(std::filesystem::exists(Dir() / "x.bin.enc"));
  WriteFile(Dir() / "y.enc", "00000140" + std::string(140, 'k'));
  EXPECT_EQ(OpenFile(Dir() / "y.enc"), "E:0004");
  EXPECT_FALSE(std::filesystem::exists(Dir() / "y.enc.dec"));
  std::filesystem::create_directory(Dir() / "y.enc.dec");
  EXPECT_EQ(OpenFile(Dir() / "y.enc"), "E:0013");
}

// What stands at the output's name before a call: the output replaces a link, never writes
// through it, refuses to take the input's place, and a failed call leaves the folder as it was.
enum class AtOutput { kSymlinkToInput, kHardLinkToInput, kSymlinkToOther, kDanglingLink, kEarlier };
struct OutputCase {
  const char* name;
  bool decrypting;
  AtOutput at;
  bool brokenInput;  // an input that fails after the output was begun
  const char* expected;
};
void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }
class OutputTest : public FileEnvelopeTest, public ::testing::WithParamInterface<OutputCase> {
 protected:
  // Snapshot: each name in `folder` with its link target, or its contents.
  static std::map<std::string, std::string> Snapshot(const std::filesystem::path& folder) {
    std::map<std::string, std::string> seen;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_symlink()) {
        seen[name] = "link to " + std::filesystem::read_symlink(entry.path()).string();
      } else {
        const Bytes content = ReadFile(entry.path());
        seen[name] = std::string(content.begin(), content.end());
      }
    }
    return seen;
  }
};

TEST_P(OutputTest, ReplacedWholeOrNotAtAll) {
  namespace fs = std::filesystem;
  const OutputCase& c = GetParam();
  AddRecipient();
  const Bytes plain = Pattern(5000);
  const fs::path folder = Dir() / "files";
  fs::create_directory(folder);
  const fs::path input = folder / (c.decrypting ? "self.enc" : "self.txt");
  const fs::path output = folder / (input.filename().string() + (c.decrypting ? ".dec" : ".enc"));
  if (c.brokenInput && c.decrypting) {
    WriteFile(input, std::string("0000014"));
  } else if (c.brokenInput) {
    fs::create_symlink("/proc/self/mem", input);  // a regular file whose reading fails
  } else if (c.decrypting) {
    WriteFile(Dir() / "source.bin", plain);
    ASSERT_EQ(SealFile(Dir() / "source.bin"), "A:0000");
    fs::rename(Dir() / "source.bin.enc", input);
  } else {
    WriteFile(input, plain);
  }
  WriteFile(folder / "other.txt", std::string("someone else's"));
  switch (c.at) {
    case AtOutput::kSymlinkToInput: fs::create_symlink(input.filename(), output); break;
    case AtOutput::kHardLinkToInput: fs::create_hard_link(input, output); break;
    case AtOutput::kSymlinkToOther: fs::create_symlink("other.txt", output); break;
    case AtOutput::kDanglingLink: fs::create_symlink("missing.txt", output); break;
    case AtOutput::kEarlier: WriteFile(output, std::string("an earlier output")); break;
  }
  std::map<std::string, std::string> before = Snapshot(folder);

  ASSERT_EQ(c.decrypting ? OpenFile(input) : SealFile(input), c.expected);
  std::map<std::string, std::string> after = Snapshot(folder);
  if (std::string(c.expected) == "A:0000") {
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(output)));
    if (c.decrypting) {
      EXPECT_EQ(ReadFile(output), plain);
    } else {
      EXPECT_EQ(fs::file_size(output), plain.size() + 8 + 12 + 128);
    }
    before.erase(output.filename().string());
    after.erase(output.filename().string());
  }
  // Nothing else changed: the input, the link's old target, no new file left beside.
  EXPECT_EQ(after, before);
  EXPECT_FALSE(fs::exists(folder / "missing.txt"));
}
INSTANTIATE_TEST_SUITE_P(
    Links, OutputTest,
    ::testing::Values(
        OutputCase{"SealSymlinkToInput", false, AtOutput::kSymlinkToInput, false, "E:0038"},
        OutputCase{"SealHardLinkToInput", false, AtOutput::kHardLinkToInput, false, "E:0038"},
        OutputCase{"SealSymlinkToOther", false, AtOutput::kSymlinkToOther, false, "A:0000"},
        OutputCase{"SealDanglingLink", false, AtOutput::kDanglingLink, false, "A:0000"},
        OutputCase{"SealEarlierOutputKept", false, AtOutput::kEarlier, true, "E:0019"},
        OutputCase{"OpenSymlinkToInput", true, AtOutput::kSymlinkToInput, false, "E:0013"},
        OutputCase{"OpenHardLinkToInput", true, AtOutput::kHardLinkToInput, false, "E:0013"},
        OutputCase{"OpenSymlinkToOther", true, AtOutput::kSymlinkToOther, false, "A:0000"},
        OutputCase{"OpenDanglingLink", true, AtOutput::kDanglingLink, false, "A:0000"},
        OutputCase{"OpenEarlierOutputKept", true, AtOutput::kEarlier, true, "E:0033"},
        OutputCase{"OpenLinkKeptOnFailure", true, AtOutput::kSymlinkToOther, true, "E:0033"}),
    [](const ::testing::TestParamInfo<OutputCase>& p) { return std::string(p.param.name); });

// An envelope is no more open than its input; a plaintext is its owner's only, whatever the
// envelope's mode.
TEST_F(FileEnvelopeTest, OutputsAreNoMoreOpenThanTheirInput) {
  namespace fs = std::filesystem;
  AddRecipient();
  const mode_t umaskBefore = ::umask(022);
  for (const fs::perms mode : {fs::perms(0600), fs::perms(0644), fs::perms(0640)}) {
    const fs::path input = Dir() / "mode.txt";
    WriteFile(input, std::string("private"));
    fs::permissions(input, mode);
    ASSERT_EQ(SealFile(input), "A:0000");
    EXPECT_EQ(fs::status(Dir() / "mode.txt.enc").permissions(), mode);
    fs::permissions(Dir() / "mode.txt.enc", fs::perms(0644));
    ASSERT_EQ(OpenFile(Dir() / "mode.txt.enc"), "A:0000");
    EXPECT_EQ(fs::status(Dir() / "mode.txt.enc.dec").permissions(), fs::perms(0600));
  }
  ::umask(umaskBefore);
}

}  // namespace
}  // namespace velmor::testing
