#include "platform/sound.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <chrono>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

#include "common/temphome.h"

namespace {

std::vector<uint8_t> ReadBytes(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = file.readAll();
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

std::vector<uint8_t> UpTone() {
  return ReadBytes(QStringLiteral(QZ_RESOURCES_DIR "/tones/up.wav"));
}

// Points ALSA at a configuration whose default PCM is the `file` plugin over the null device:
// whatever is played lands, as raw samples, in the capture file.
class SoundCapture : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_dir.isValid());
    m_capture = m_dir.filePath("capture.raw");
    const QString config = m_dir.filePath("asound.conf");
    QFile file(config);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("pcm.!default {\n"
                              "  type file\n"
                              "  slave.pcm \"null\"\n"
                              "  file \"%1\"\n"
                              "  format \"raw\"\n"
                              "}\n"
                              "pcm.null { type null }\n")
                   .arg(m_capture)
                   .toUtf8());
    file.close();
    m_config.emplace("ALSA_CONFIG_PATH", config.toStdString());
  }
  void TearDown() override {
    platform::WaitForPlayback();
    m_config.reset();
  }

  QTemporaryDir m_dir;
  QString m_capture;
  std::optional<test::TScopedEnv> m_config;
};

TEST(ParseWav, ReadsTheFormatAndSamplesOfTheUpTone) {
  const std::vector<uint8_t> image = UpTone();
  ASSERT_EQ(image.size(), 1962u);
  const auto wave = platform::ParseWav(image);
  ASSERT_TRUE(wave);
  EXPECT_EQ(wave->Channels, 1);
  EXPECT_EQ(wave->SampleRate, 44100);
  EXPECT_EQ(wave->BitsPerSample, 16);
  EXPECT_EQ(wave->Samples.size(), 959u * 2);
  // The tone starts near 79 % of full scale and fades to silence.
  const auto sample = [&](size_t i) {
    return static_cast<int16_t>(wave->Samples[2 * i] | (wave->Samples[2 * i + 1] << 8));
  };
  EXPECT_NEAR(sample(0) / 32767.0, 0.79, 0.01);
  EXPECT_EQ(sample(958), 0);
}

TEST(ParseWav, RejectsWhatIsNotAPcmWaveImage) {
  EXPECT_FALSE(platform::ParseWav({}));
  EXPECT_FALSE(platform::ParseWav(std::vector<uint8_t>(44, 0)));
  std::vector<uint8_t> truncated = UpTone();
  truncated.resize(100);  // the data chunk claims more bytes than there are
  EXPECT_FALSE(platform::ParseWav(truncated));
  EXPECT_FALSE(platform::PlayWavAsync(truncated));
}

TEST_F(SoundCapture, DefaultDeviceCountsAsOnePlaybackDevice) {
  EXPECT_GE(platform::PlaybackDeviceCount(), 1);
}

TEST_F(SoundCapture, PlayedToneReachesTheDeviceSampleForSample) {
  const std::vector<uint8_t> image = UpTone();
  ASSERT_TRUE(platform::PlayWavAsync(image));
  platform::WaitForPlayback();
  const std::vector<uint8_t> captured = ReadBytes(m_capture);
  const std::vector<uint8_t> samples(image.begin() + 44, image.end());
  EXPECT_EQ(captured, samples);
}

TEST(SoundWithoutDevice, DefaultDeviceThatCannotOpenCountsNoDevices) {
  QTemporaryDir dir;
  const QString config = dir.filePath("asound.conf");
  QFile file(config);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("pcm.!default { type hw card 97 }\n");
  file.close();
  test::TScopedEnv configPath("ALSA_CONFIG_PATH", config.toStdString());
  EXPECT_EQ(platform::PlaybackDeviceCount(), 0);
}

}  // namespace
