#include "app/csvexport.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace app {
namespace {

std::string ReadFile(const std::string& path) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) return "<missing>";
  return file.readAll().toStdString();
}

class CsvExport : public testing::Test {
 protected:
  QTemporaryDir m_dir;
  THostTable m_table{[] { return 46000.5; }};
  std::string Path() const { return m_dir.filePath("quenZOR.csv").toStdString(); }
};

TEST_F(CsvExport, HeaderThenOneLinePerRowInFirstReportOrder) {
  m_table.Update("10.0.0.3", "C", "00:00:00:00:00:03", "http", "Three", "V3");
  m_table.Update("10.0.0.1", "A", "00:00:00:00:00:01", "http", "", "V1");
  m_table.Update("10.0.0.2", "B", "00:00:00:00:00:02", "http", "<no title>", "V2");
  ASSERT_TRUE(ExportCsv(m_table, Path()));
  EXPECT_EQ(ReadFile(Path()),
            "host;ip;vendor;title;mac\r\n"
            "C;10.0.0.3;V3;Three;00:00:00:00:00:03\r\n"
            "A;10.0.0.1;V1;;00:00:00:00:00:01\r\n"
            "B;10.0.0.2;V2;<no title>;00:00:00:00:00:02\r\n");
}

TEST_F(CsvExport, FieldsWithSeparatorsQuotesOrLineBreaksAreQuoted) {
  m_table.Update("10.0.0.1", "A", "00:00:00:00:00:01", "http", "Home; Admin", "Say \"hi\"");
  m_table.Update("10.0.0.2", "B", "00:00:00:00:00:02", "http", "two\r\nlines", "plain");
  ASSERT_TRUE(ExportCsv(m_table, Path()));
  EXPECT_EQ(ReadFile(Path()),
            "host;ip;vendor;title;mac\r\n"
            "A;10.0.0.1;\"Say \"\"hi\"\"\";\"Home; Admin\";00:00:00:00:00:01\r\n"
            "B;10.0.0.2;plain;\"two\r\nlines\";00:00:00:00:00:02\r\n");
}

TEST(CsvField, QuotesOnlyWhenNeeded) {
  EXPECT_EQ(CsvField(""), "");
  EXPECT_EQ(CsvField("plain text"), "plain text");
  EXPECT_EQ(CsvField("a;b"), "\"a;b\"");
  EXPECT_EQ(CsvField("\""), "\"\"\"\"");
  EXPECT_EQ(CsvField("cr\r"), "\"cr\r\"");
  EXPECT_EQ(CsvField("lf\n"), "\"lf\n\"");
  EXPECT_EQ(CsvField("tab\t"), "\"tab\t\"");
}

// CSV injection: a field a spreadsheet would read as a formula gets a leading "'" and quotes;
// terminal controls never reach the file.
TEST(CsvField, FormulaStartsAreDefusedAndControlsDropped) {
  EXPECT_EQ(CsvField("=HYPERLINK(\"http://x\")"), "\"'=HYPERLINK(\"\"http://x\"\")\"");
  EXPECT_EQ(CsvField("=cmd|' /C calc'!A0"), "\"'=cmd|' /C calc'!A0\"");
  EXPECT_EQ(CsvField("+1"), "\"'+1\"");
  EXPECT_EQ(CsvField("-2"), "\"'-2\"");
  EXPECT_EQ(CsvField("@SUM(A1)"), "\"'@SUM(A1)\"");
  EXPECT_EQ(CsvField("\t=1"), "\"'\t=1\"");
  EXPECT_EQ(CsvField("\r=1"), "\"'\r=1\"");
  EXPECT_EQ(CsvField("a=1-2"), "a=1-2");
  EXPECT_EQ(CsvField("\x1B]52;c;eA==\x07"), "\"]52;c;eA==\"");
  EXPECT_EQ(CsvField("\x1B=1"), "\"'=1\"") << "a control in front hides no formula";
  // Blanks in front hide no formula either: spreadsheets skip them.
  EXPECT_EQ(CsvField("  =1"), "\"'  =1\"");
  EXPECT_EQ(CsvField(" \t@SUM(A1)"), "\"' \t@SUM(A1)\"");
  EXPECT_EQ(CsvField("\u00A0\u3000-2"), "\"'\u00A0\u3000-2\"");
  EXPECT_EQ(CsvField("\u200B=1"), "\"'=1\"") << "nor a zero-width space";
  EXPECT_EQ(CsvField(" a=1"), " a=1");
}

// A new export is private (a list of the LAN's devices); a rewrite keeps what the user set.
TEST_F(CsvExport, NewFileIsPrivateAndARewriteKeepsItsPermissions) {
  auto mode = [this] {
    struct stat status {};
    return ::stat(Path().c_str(), &status) == 0 ? status.st_mode & 07777 : 0u;
  };
  ASSERT_TRUE(WriteTextFile(Path(), "first\r\n"));
  EXPECT_EQ(mode(), 0600u);
  ASSERT_EQ(::chmod(Path().c_str(), 0644), 0);
  ASSERT_TRUE(WriteTextFile(Path(), "second\r\n"));
  EXPECT_EQ(mode(), 0644u);
  EXPECT_EQ(ReadFile(Path()), "second\r\n");
}

TEST_F(CsvExport, ReportsChangeCountThatTheFileHolds) {
  m_table.Update("10.0.0.1", "A", "00:00:00:00:00:01", "http", "", "V");
  uint64_t changes = 0;
  ASSERT_TRUE(ExportCsv(m_table, Path(), &changes));
  EXPECT_EQ(changes, m_table.ChangeCount());
}

TEST_F(CsvExport, WriteReplacesTheOldFileAndLeavesNoTemporaryFile) {
  ASSERT_TRUE(WriteTextFile(Path(), "old\r\n"));
  ASSERT_TRUE(WriteTextFile(Path(), "new\r\n"));
  EXPECT_EQ(ReadFile(Path()), "new\r\n");
  EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"quenZOR.csv"});
}

TEST_F(CsvExport, WriteCreatesMissingFolders) {
  const std::string path = m_dir.filePath("a/b/c.csv").toStdString();
  ASSERT_TRUE(WriteTextFile(path, "x"));
  EXPECT_EQ(ReadFile(path), "x");
}

TEST_F(CsvExport, EmptyTextGivesAnEmptyFile) {
  ASSERT_TRUE(WriteTextFile(Path(), ""));
  EXPECT_EQ(ReadFile(Path()), "");
}

// The new content can't be written (the file size limit stops it half-way, as a full disk
// would): the old export must stay whole and no temporary file may be left behind.
TEST_F(CsvExport, FailedWriteLeavesTheOldFileWhole) {
  ASSERT_TRUE(WriteTextFile(Path(), "old content\r\n"));
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore = {}, previous = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
  rlimit small = saved;
  small.rlim_cur = 4;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool written = WriteTextFile(Path(), std::string(1000, 'n'));
  setrlimit(RLIMIT_FSIZE, &saved);
  sigaction(SIGXFSZ, &previous, nullptr);
  EXPECT_FALSE(written);
  EXPECT_EQ(ReadFile(Path()), "old content\r\n");
  EXPECT_EQ(QDir(m_dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"quenZOR.csv"});
}

TEST_F(CsvExport, UnwritableFolderFailsQuietly) {
  // A file stands where the folder should be.
  ASSERT_TRUE(WriteTextFile(m_dir.filePath("blocker").toStdString(), "x"));
  EXPECT_FALSE(ExportCsv(m_table, m_dir.filePath("blocker/quenZOR.csv").toStdString()));
}

TEST(CsvExportPath, IsTheHomeFoldersQuenZorCsv) {
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(ExportPath(), std::string(home) + "/quenZOR.csv");
}

}  // namespace
}  // namespace app
