#include "service/config_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/case_name.h"

namespace dorvek::service {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "dorvek-config-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path& file, std::string_view bytes) {
  std::ofstream out(file, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// --- ReadXMLTag -------------------------------------------------------------------

struct TagCase {
  const char* what;
  std::vector<std::string> lines;
  const char* name;
  const char* expected;
};

class ReadXMLTagTable : public ::testing::TestWithParam<TagCase> {};

TEST_P(ReadXMLTagTable, FindsTextBetweenFirstTags) {
  const TagCase& c = GetParam();
  EXPECT_EQ(ReadXMLTag(c.lines, c.name), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadXMLTagTable,
    ::testing::Values(
        TagCase{"plain element", {"<SQLServer>db1</SQLServer>"}, "SQLServer", "db1"},
        TagCase{"blanks kept", {"<SQLServer> db1 </SQLServer>"}, "SQLServer", " db1 "},
        TagCase{"empty element", {"<SQLDatabase></SQLDatabase>"}, "SQLDatabase", ""},
        TagCase{"first of two wins",
                {"<SQLServer>one</SQLServer>", "<SQLServer>two</SQLServer>"},
                "SQLServer",
                "one"},
        TagCase{"closing tag first", {"</Port><Port>4001"}, "Port", ""},
        TagCase{"closing tag first, opening after it",
                {"</Port>", "<Port>4001</Port>"},
                "Port",
                ""},
        TagCase{"lower-case name not found", {"<SQLServer>db1</SQLServer>"}, "sqlserver", ""},
        TagCase{"missing closing tag", {"<SQLServer>db1"}, "SQLServer", ""},
        TagCase{"missing opening tag", {"db1</SQLServer>"}, "SQLServer", ""},
        TagCase{"attribute hides the opening tag",
                {R"(<SQLServer a="1">db1</SQLServer>)"},
                "SQLServer",
                ""},
        TagCase{"value across lines keeps the CR LF",
                {"<SQLServer>a", "b</SQLServer>"},
                "SQLServer",
                "a\r\nb"},
        TagCase{"element in a comment that comes first is taken",
                {"<!-- <ZOLid>old</ZOLid> -->", "<ZOLid>mux</ZOLid>"},
                "ZOLid",
                "old"},
        TagCase{"nesting ignored",
                {"<TCPCLIENT>", "<SQL><Port>1</Port></SQL>", "</TCPCLIENT>"},
                "Port",
                "1"},
        TagCase{"name is not a prefix match", {"<PortX>9</PortX><Port>4001</Port>"}, "Port",
                "4001"},
        TagCase{"no lines", {}, "Port", ""}),
    [](const auto& info) { return test_support::CaseName(info.index, info.param.what); });

// --- ReadIntegerSetting ------------------------------------------------------------

struct IntegerCase {
  const char* text;
  long long expected;
};

class ReadIntegerSettingTable : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(ReadIntegerSettingTable, ReadsLeadingNumber) {
  EXPECT_EQ(ReadIntegerSetting(GetParam().text), GetParam().expected)
      << "text \"" << GetParam().text << "\"";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadIntegerSettingTable,
    ::testing::Values(IntegerCase{"4001", 4001}, IntegerCase{"$FA1", 4001},
                      IntegerCase{"$fa1", 4001}, IntegerCase{"0XFA1", 4001},
                      IntegerCase{"0xfa1", 4001}, IntegerCase{"x1f", 31}, IntegerCase{"X1F", 31},
                      IntegerCase{"0x", 0}, IntegerCase{"$", 0}, IntegerCase{" 4001", 4001},
                      IntegerCase{"   4001", 4001}, IntegerCase{"4001a", 4001},
                      IntegerCase{"4001 5", 4001}, IntegerCase{"-5", -5}, IntegerCase{"+7", 7},
                      IntegerCase{"-$10", -16}, IntegerCase{"", 0}, IntegerCase{"abc", 0},
                      IntegerCase{"-", 0}, IntegerCase{"\t5", 0}, IntegerCase{"- 5", 0},
                      IntegerCase{"0", 0}, IntegerCase{"007", 7}, IntegerCase{"$FG", 15},
                      IntegerCase{"9223372036854775807", LLONG_MAX},
                      IntegerCase{"9223372036854775808", LLONG_MAX},
                      IntegerCase{"99999999999999999999999", LLONG_MAX},
                      IntegerCase{"-9223372036854775808", LLONG_MIN},
                      IntegerCase{"-99999999999999999999999", LLONG_MIN},
                      IntegerCase{"$FFFFFFFFFFFFFFFFFFFF", LLONG_MAX}),
    [](const auto& info) { return test_support::CaseName(info.index, info.param.text); });

// --- Template and readme -----------------------------------------------------------

TEST(ConfigTemplate, HasTheTwentyFourLinesInOrder) {
  const auto lines = ConfigTemplateLines("/opt/dorvek");
  EXPECT_THAT(lines,
              ElementsAre(R"(<?xml version="1.0" encoding="UTF-8"?>)", "<DorvekZOLserver>",
                          "<Timers>", "<HTTPTimer>10000</HTTPTimer>", "</Timers>", "<TCPCLIENT>",
                          "<Binding>127.0.0.1</Binding>", "<Port>4001</Port>", "</TCPCLIENT>",
                          "<SQL>", "<SQLServer>127.0.0.1</SQLServer>",
                          "<SQLInlognaam>sa</SQLInlognaam>", "<SQLPaswoord>****</SQLPaswoord>",
                          "<SQLDatabase></SQLDatabase>", "<Netwerksleutel>Wexlor</Netwerksleutel>",
                          "<ZOLid>mux</ZOLid>", "<Separator>.</Separator>",
                          "<Bedragen>0</Bedragen>", "</SQL>", "<Output>",
                          "<OutputToFile>True</OutputToFile>",
                          "<OutputDirectory>/opt/dorvek/VmrZOLData/XML</OutputDirectory>",
                          "</Output>", "</DorvekZOLserver>"));
}

TEST(ConfigTemplate, BaseDirWithTrailingSlashGetsNoSecondOne) {
  EXPECT_EQ(ConfigTemplateLines("/opt/dorvek/")[21],
            "<OutputDirectory>/opt/dorvek/VmrZOLData/XML</OutputDirectory>");
}

TEST(ConfigTemplate, ReadmeInstallVariantMovesSqlBlockInsideTcpClient) {
  const auto t = ConfigTemplateLines("/opt/dorvek");
  const auto r = ReadmeInstallLines("/opt/dorvek");
  ASSERT_EQ(r.size(), 24u);
  std::vector<std::string> expected;
  for (int n : {1, 2, 3, 4, 5, 6, 10, 11, 12, 13}) expected.push_back(t[n - 1]);
  expected.push_back("<SQLDatabase>DORVEK_FFFFFFFFF</SQLDatabase>");
  for (int n : {15, 16, 17, 18, 19, 7, 8, 9, 20, 21, 22, 23, 24}) expected.push_back(t[n - 1]);
  EXPECT_EQ(r, expected);
  EXPECT_EQ(r[6], "<SQL>");
  EXPECT_EQ(r[15], "</SQL>");
  EXPECT_EQ(r[16], "<Binding>127.0.0.1</Binding>");
  EXPECT_EQ(r[18], "</TCPCLIENT>");
}

// --- Writing -----------------------------------------------------------------------

class ConfigFileOnDisk : public ::testing::Test {
 protected:
  TempDir dir_;
  fs::path file_ = dir_.path() / std::string(kConfigFileName);
};

TEST_F(ConfigFileOnDisk, TemplateWrittenByteForByte) {
  ASSERT_TRUE(WriteLinesIfMissing(file_, ConfigTemplateLines(dir_.path())));
  const std::string bytes = ReadBytes(file_);
  std::string expected;
  for (const auto& line : ConfigTemplateLines(dir_.path())) expected += line + "\r\n";
  EXPECT_EQ(bytes, expected);
  // Every line ends with CR LF, the last included, and there is no byte-order mark.
  std::size_t crlf = 0;
  for (std::size_t at = bytes.find("\r\n"); at != std::string::npos; at = bytes.find("\r\n", at + 2))
    ++crlf;
  EXPECT_EQ(crlf, 24u);
  EXPECT_TRUE(bytes.ends_with("</DorvekZOLserver>\r\n"));
  EXPECT_TRUE(bytes.starts_with("<?xml"));
  for (char c : bytes) EXPECT_LT(static_cast<unsigned char>(c), 0x80u);
}

TEST_F(ConfigFileOnDisk, WrittenFileIsReadableByOwnerOnly) {
  ASSERT_TRUE(WriteLinesIfMissing(file_, ConfigTemplateLines(dir_.path())));
  struct stat st {};
  ASSERT_EQ(::stat(file_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(ConfigFileOnDisk, ExistingFileIsNeverReplaced) {
  WriteBytes(file_, "<Port>1</Port>\r\n");
  EXPECT_FALSE(WriteLinesIfMissing(file_, ConfigTemplateLines(dir_.path())));
  EXPECT_EQ(ReadBytes(file_), "<Port>1</Port>\r\n");
}

TEST_F(ConfigFileOnDisk, ExistingEmptyFileIsNeverReplaced) {
  WriteBytes(file_, "");
  EXPECT_FALSE(WriteLinesIfMissing(file_, ConfigTemplateLines(dir_.path())));
  EXPECT_EQ(ReadBytes(file_), "");
}

TEST_F(ConfigFileOnDisk, DanglingSymlinkIsNotFollowed) {
  const fs::path target = dir_.path() / "elsewhere.xml";
  fs::create_symlink(target, file_);
  EXPECT_FALSE(WriteLinesIfMissing(file_, ConfigTemplateLines(dir_.path())));
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(ConfigFileOnDisk, UnwritableLocationThrowsWithPathAndReason) {
  const fs::path file = dir_.path() / "missing-dir" / "readme.xml";
  try {
    WriteLinesIfMissing(file, {"x"});
    FAIL() << "expected a failure";
  } catch (const std::runtime_error& e) {
    EXPECT_THAT(e.what(), ::testing::HasSubstr(file.string()));
    EXPECT_THAT(e.what(), ::testing::HasSubstr("No such file or directory"));
  }
}

TEST_F(ConfigFileOnDisk, NonAsciiBaseDirRoundTripsAsUtf8) {
  const fs::path base = "/srv/cliënt";
  ASSERT_TRUE(WriteLinesIfMissing(file_, ConfigTemplateLines(base)));
  EXPECT_EQ(ReadXMLTag(LoadConfigLines(file_), "OutputDirectory"), "/srv/cliënt/VmrZOLData/XML");
}

TEST_F(ConfigFileOnDisk, TemplateReadsBackItsValues) {
  ASSERT_TRUE(WriteLinesIfMissing(file_, ConfigTemplateLines(dir_.path())));
  const auto lines = LoadConfigLines(file_);
  EXPECT_EQ(lines, ConfigTemplateLines(dir_.path()));
  EXPECT_EQ(ReadXMLTag(lines, "Port"), "4001");
  EXPECT_EQ(ReadXMLTag(lines, "SQLPaswoord"), "****");
}

TEST_F(ConfigFileOnDisk, LoadingMissingFileThrows) {
  EXPECT_THROW(LoadConfigLines(file_), std::runtime_error);
}

// --- Reading encodings -------------------------------------------------------------

TEST(DecodeConfigText, Utf8ByteOrderMarkIsDropped) {
  EXPECT_EQ(DecodeConfigText("\xEF\xBB\xBF<ZOLid>cli\xC3\xABnt</ZOLid>"), "<ZOLid>cliënt</ZOLid>");
}

TEST(DecodeConfigText, Utf16LittleEndianWithMark) {
  using namespace std::string_literals;
  EXPECT_EQ(DecodeConfigText("\xFF\xFE<\0a\0\xEB\0>\0"s), "<aë>");
}

TEST(DecodeConfigText, Utf16BigEndianWithMark) {
  using namespace std::string_literals;
  EXPECT_EQ(DecodeConfigText("\xFE\xFF\0<\0a\0\xEB\0>"s), "<aë>");
}

TEST(DecodeConfigText, Windows1252WithoutMark) {
  EXPECT_EQ(DecodeConfigText("<ZOLid>cli\xEBnt \x80</ZOLid>"), "<ZOLid>cliënt €</ZOLid>");
}

TEST(DecodeConfigText, ValidUtf8WithoutMarkStaysUtf8) {
  EXPECT_EQ(DecodeConfigText("<ZOLid>cli\xC3\xABnt</ZOLid>"), "<ZOLid>cliënt</ZOLid>");
}

TEST(SplitConfigLines, AcceptsEveryLineEnd) {
  EXPECT_THAT(SplitConfigLines("a\r\nb\nc\rd"), ElementsAre("a", "b", "c", "d"));
  EXPECT_THAT(SplitConfigLines("a\r\n\r\nb\r\n"), ElementsAre("a", "", "b"));
  EXPECT_THAT(SplitConfigLines("\n\r"), ElementsAre("", ""));
  EXPECT_TRUE(SplitConfigLines("").empty());
}

TEST_F(ConfigFileOnDisk, Utf16FileReadsIntoLines) {
  using namespace std::string_literals;
  WriteBytes(file_, "\xFF\xFE<\0P\0>\0""1\0<\0/\0P\0>\0\r\0\n\0x\0"s);
  EXPECT_THAT(LoadConfigLines(file_), ElementsAre("<P>1</P>", "x"));
}

TEST_F(ConfigFileOnDisk, Windows1252FileReadsRight) {
  WriteBytes(file_, "<SQLInlognaam>cli\xEBnt</SQLInlognaam>\r\n");
  EXPECT_EQ(ReadXMLTag(LoadConfigLines(file_), "SQLInlognaam"), "cliënt");
}

// --- Directories -------------------------------------------------------------------

TEST(DataDirectories, ParentComesBeforeItsSubdirectories) {
  EXPECT_THAT(kDataDirectories,
              ElementsAre("VmrZOLData", "VmrZOLData/Logs", "VmrZOLData/Config", "VmrZOLData/XML"));
}

TEST(DataDirectories, AllFourCreatedAndSecondRunChangesNothing) {
  TempDir dir;
  CreateDataDirectories(dir.path());
  for (auto d : kDataDirectories) EXPECT_TRUE(fs::is_directory(dir.path() / d)) << d;
  const fs::path marker = dir.path() / "VmrZOLData/Config/keep";
  WriteBytes(marker, "x");
  CreateDataDirectories(dir.path());
  EXPECT_EQ(ReadBytes(marker), "x");
}

TEST(DataDirectories, FileInTheWayIsSkippedAndTheRestCreated) {
  TempDir dir;
  fs::create_directory(dir.path() / "VmrZOLData");
  WriteBytes(dir.path() / "VmrZOLData/Logs", "not a directory");
  EXPECT_NO_THROW(CreateDataDirectories(dir.path()));
  EXPECT_TRUE(fs::is_regular_file(dir.path() / "VmrZOLData/Logs"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "VmrZOLData/Config"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "VmrZOLData/XML"));
}

TEST(DataDirectories, FileInPlaceOfDataDirectoryFailsQuietly) {
  TempDir dir;
  WriteBytes(dir.path() / "VmrZOLData", "");
  EXPECT_NO_THROW(CreateDataDirectories(dir.path()));
  EXPECT_TRUE(fs::is_regular_file(dir.path() / "VmrZOLData"));
  // The readme then cannot be written: that failure is the caller's to report.
  EXPECT_THROW(WriteLinesIfMissing(dir.path() / std::string(kReadmePath), {"x"}),
               std::runtime_error);
}

}  // namespace
}  // namespace dorvek::service
