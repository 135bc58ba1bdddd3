#include "platform/browser.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>

#include <gtest/gtest.h>

namespace {

// The desktop's URL handler is xdg-open, found through PATH: a recording stand-in takes its
// place, so the test sees exactly what a browser would have been handed.
TEST(OpenUrl, HandsTheUrlToXdgOpen) {
  QTemporaryDir dir;
  const QString record = dir.filePath("opened.txt");
  const QString script = dir.filePath("xdg-open");
  QFile file(script);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1.part' && mv '%1.part' '%1'\n")
                 .arg(record)
                 .toUtf8());
  file.close();
  file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  const QByteArray oldPath = qgetenv("PATH");
  qputenv("PATH", dir.path().toLocal8Bit() + ":" + oldPath);

  platform::OpenUrl("http://192.168.1.20");

  QElapsedTimer timer;
  timer.start();
  while (!QFile::exists(record) && timer.elapsed() < 10000) QTest::qWait(20);
  qputenv("PATH", oldPath);
  QFile opened(record);
  ASSERT_TRUE(opened.open(QIODevice::ReadOnly)) << "xdg-open was not started";
  EXPECT_EQ(opened.readAll().toStdString(), "http://192.168.1.20\n");
}

}  // namespace
