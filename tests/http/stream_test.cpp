#include "http/stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace http {
namespace {

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/qz_stream_XXXXXX";
    m_path = mkdtemp(pattern);
  }
  ~TempDir() { std::filesystem::remove_all(m_path); }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

TEST(MemoryStream, WritesPastTheEndFillWithZeros) {
  TMemoryStream stream;
  stream.Seek(3, TSeekOrigin::Beginning);
  stream.WriteBuffer("ab", 2);
  EXPECT_EQ(stream.Size(), 5);
  EXPECT_EQ(std::string(stream.Data(), 5), std::string("\0\0\0ab", 5));
}

TEST(MemoryStream, SetSizeShrinksAndKeepsThePositionInside) {
  TMemoryStream stream;
  stream.WriteBuffer("abcdef", 6);
  stream.SetSize(2);
  EXPECT_EQ(stream.Position(), 2);
  stream.SetSize(4);
  EXPECT_EQ(std::string(stream.Data(), 4), std::string("ab\0\0", 4));
  EXPECT_EQ(stream.Seek(-10, TSeekOrigin::Current), 0);
  EXPECT_EQ(stream.Seek(-1, TSeekOrigin::End), 3);
}

TEST(MemoryStream, ManySmallWritesGrowGeometrically) {
  TMemoryStream stream;
  int growths = 0;
  int64_t capacity = stream.Capacity();
  std::string piece(1000, 'x');
  for (int i = 0; i < 10000; ++i) {
    stream.WriteBuffer(piece.data(), 1000);
    if (stream.Capacity() != capacity) {
      ++growths;
      capacity = stream.Capacity();
    }
  }
  EXPECT_EQ(stream.Size(), 10000000);
  EXPECT_LT(growths, 20);
}

TEST(MemoryStream, ShortReadRaisesReadError) {
  TMemoryStream stream;
  stream.WriteBuffer("ab", 2);
  stream.SetPosition(0);
  char buffer[4];
  EXPECT_THROW(stream.ReadBuffer(buffer, 4), EReadError);
}

TEST(FileStream, CreatesTruncatesAndReadsBack) {
  TempDir dir;
  std::string path = dir.Path() + "/f.tmp";
  {
    TFileStream stream(path, TFileMode::Create);
    stream.WriteBuffer("hello world", 11);
    EXPECT_EQ(stream.Size(), 11);
    stream.SetPosition(6);
    char buffer[5];
    stream.ReadBuffer(buffer, 5);
    EXPECT_EQ(std::string(buffer, 5), "world");
  }
  TFileStream again(path, TFileMode::Create);
  EXPECT_EQ(again.Size(), 0);
}

TEST(FileStream, MissingFolderRaisesCreateErrorNamingThePath) {
  TempDir dir;
  std::string path = dir.Path() + "/missing/f.tmp";
  try {
    TFileStream stream(path, TFileMode::Create);
    FAIL() << "no error raised";
  } catch (const EFCreateError& error) {
    EXPECT_NE(std::string(error.what()).find(path), std::string::npos);
  }
}

TEST(FileStream, WriteToAFullDeviceRaisesWriteError) {
  if (access("/dev/full", W_OK) != 0) {
    GTEST_SKIP() << "/dev/full is not available";
  }
  TFileStream stream("/dev/full", TFileMode::OpenWrite);
  EXPECT_THROW(stream.WriteBuffer("x", 1), EWriteError);
}

}  // namespace
}  // namespace http
