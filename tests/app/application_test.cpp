#include "app/application.h"

#include <QCursor>
#include <QTest>

#include <gtest/gtest.h>

#include <thread>

namespace {

// The offscreen platform keeps the position that setPos gives it, so the test moves the cursor
// itself; the worker thread stands for the HTTP client's threads that write the log.
TEST(CursorTracking, WorkerThreadReadsThePositionTheMainThreadLastSaw) {
  app::TrackCursorForExchangeLog();
  for (const QPoint target : {QPoint(123, 45), QPoint(7, 300)}) {
    QCursor::setPos(target);
    ASSERT_EQ(QCursor::pos(), target);
    int32_t x = -1;
    int32_t y = -1;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
          std::thread worker([&] { app::ReadCursorPosition(&x, &y); });
          worker.join();
          return x == target.x() && y == target.y();
        },
        2000));
  }
}

}  // namespace
