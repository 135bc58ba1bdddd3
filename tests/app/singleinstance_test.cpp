#include "platform/singleinstance.h"

#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// Whether a separate process could take the lock now. The child first drops the descriptor it
// inherited (the parent's lock stays: it belongs to the parent's open file), as a freshly
// started copy has none.
bool OtherProcessCanAcquire() {
  const pid_t child = fork();
  if (child == 0) {
    platform::ReleaseSingleInstance();
    _exit(platform::AcquireSingleInstance() ? 0 : 1);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(SingleInstance, SecondProcessIsRefusedWhileTheFirstHoldsTheLock) {
  ASSERT_TRUE(platform::AcquireSingleInstance());
  EXPECT_TRUE(platform::AcquireSingleInstance()) << "the holder itself may ask again";
  EXPECT_FALSE(OtherProcessCanAcquire());
  platform::ReleaseSingleInstance();
  EXPECT_TRUE(OtherProcessCanAcquire());
}

TEST(SingleInstance, LockFileLiesInTheRuntimeFolder) {
  ASSERT_TRUE(platform::AcquireSingleInstance());
  EXPECT_TRUE(
      QFile::exists(QString::fromLocal8Bit(std::getenv("XDG_RUNTIME_DIR")) + "/quenZOr.lock"));
  platform::ReleaseSingleInstance();
}

// Without XDG_RUNTIME_DIR the lock is the user's own file in /tmp. What another user may have
// put in its place (a link, a file of theirs) is neither followed nor trusted: the program then
// runs unguarded rather than being kept from starting.
TEST(SingleInstance, WithoutRuntimeFolderTheLockIsPerUserAndPlantedFilesAreNotTrusted) {
  const std::string runtimeDir = std::getenv("XDG_RUNTIME_DIR");
  unsetenv("XDG_RUNTIME_DIR");
  const std::string path = "/tmp/quenZOr-" + std::to_string(geteuid()) + ".lock";
  const std::string target = path + ".target";
  unlink(path.c_str());

  ASSERT_TRUE(platform::AcquireSingleInstance());
  EXPECT_TRUE(QFile::exists(QString::fromStdString(path)));
  EXPECT_FALSE(OtherProcessCanAcquire());
  platform::ReleaseSingleInstance();
  unlink(path.c_str());

  ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
  EXPECT_TRUE(platform::AcquireSingleInstance());
  EXPECT_FALSE(QFile::exists(QString::fromStdString(target))) << "the link was followed";
  platform::ReleaseSingleInstance();
  unlink(path.c_str());

  if (geteuid() == 0) {
    QFile planted(QString::fromStdString(path));
    ASSERT_TRUE(planted.open(QIODevice::WriteOnly));
    planted.close();
    ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
    EXPECT_TRUE(platform::AcquireSingleInstance());
    EXPECT_TRUE(OtherProcessCanAcquire()) << "another user's file was used as the guard";
    platform::ReleaseSingleInstance();
    unlink(path.c_str());
  }
  setenv("XDG_RUNTIME_DIR", runtimeDir.c_str(), 1);
}

// The program itself, started while another copy holds the lock, ends at once with exit code 0
// and shows no window. It runs in a network namespace of its own with no adapter but loopback,
// so even a broken guard could not sweep the machine's networks.
TEST(SingleInstance, SecondCopyOfTheProgramExitsAtOnceWithCodeZero) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give the program an empty network namespace";
  ASSERT_TRUE(platform::AcquireSingleInstance());
  QProcess program;
  program.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
  program.start(QStringLiteral("unshare"),
                {QStringLiteral("--net"), QStringLiteral(QZ_QUENZOR_PATH)});
  ASSERT_TRUE(program.waitForStarted());
  const bool ended = program.waitForFinished(20000);
  if (!ended) program.kill();
  platform::ReleaseSingleInstance();
  ASSERT_TRUE(ended);
  EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(program.exitCode(), 0);
  EXPECT_EQ(program.readAllStandardOutput(), QByteArray());
}

}  // namespace
