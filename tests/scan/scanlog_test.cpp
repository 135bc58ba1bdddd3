#include "scan/scanlog.h"

#include <QLoggingCategory>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "common/peer.h"
#include "scan/webprobe.h"

namespace scan {
namespace {

std::vector<std::string> g_lines;  // "category: message" of every line logged

void Collect(QtMsgType, const QMessageLogContext& context, const QString& message) {
  g_lines.push_back(std::string(context.category) + ": " + message.toStdString());
}

TEST(ScanLog, FailedFetchExplainsItselfOnlyWhenAsked) {
  if (qEnvironmentVariableIsSet("QT_LOGGING_RULES"))
    GTEST_SKIP() << "its rules override the test's own";
  test::TRefusedPort refused;
  const std::string target = "127.0.0.1:" + std::to_string(refused.Port());
  for (const bool asked : {false, true}) {
    QLoggingCategory::setFilterRules(asked ? "quenzor.*=true" : "");
    g_lines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(Collect);
    FetchPage("http://" + target, target);
    qInstallMessageHandler(previous);
    if (!asked) {
      EXPECT_TRUE(g_lines.empty()) << g_lines.front();
      continue;
    }
    ASSERT_FALSE(g_lines.empty());
    const std::string expected =
        "quenzor.scan: http://" + target + ": no complete response: socket error ";
    EXPECT_TRUE(std::any_of(g_lines.begin(), g_lines.end(), [&](const std::string& line) {
      return line.starts_with(expected);
    })) << g_lines.front();
  }
  QLoggingCategory::setFilterRules("");
}

TEST(ScanLog, DeviceTextIsEscapedAndBounded) {
  EXPECT_EQ(LogText("Router Login"), "Router Login");
  EXPECT_EQ(LogText("a\x1b[2J\r\n\tb\\"), "a\\x1B[2J\\x0D\\x0A\\x09b\\\\");
  EXPECT_EQ(LogText("caf\xc3\xa9\x7f"), "caf\\xC3\\xA9\\x7F");
  EXPECT_EQ(LogText(std::string(250, 'x')), std::string(200, 'x') + "...");
}

}  // namespace
}  // namespace scan
