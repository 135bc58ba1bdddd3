#include <QCoreApplication>

#include <gtest/gtest.h>

// Every test executable runs with a Qt application object on the main thread, as the
// program does: worker end handlers and timers are delivered through its event loop.
int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
