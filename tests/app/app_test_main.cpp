#include <QApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdlib>

#include <gtest/gtest.h>

// The main window's tests need a widget application. Each run gets its own runtime folder, so
// the single-instance lock of the window under test never meets a quenZOR that the user runs.
int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QTemporaryDir runtimeDir(QDir::tempPath() + "/qz-app-test-XXXXXX");
  setenv("XDG_RUNTIME_DIR", runtimeDir.path().toLocal8Bit().constData(), 1);
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
