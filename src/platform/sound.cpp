#include "platform/sound.h"

#include <alsa/asoundlib.h>

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "support/posix.h"

namespace platform {

namespace {

constexpr unsigned kLatencyUs = 50000;
constexpr snd_pcm_uframes_t kChunkFrames = 256;

uint32_t ReadLe32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint16_t ReadLe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

// ALSA reports configuration and device errors on stderr by default; the program reports
// nothing, so its messages are dropped.
void QuietAlsaError(const char*, int, const char*, int, const char*, ...) {}

void SilenceAlsa() {
  static std::once_flag once;
  std::call_once(once, [] { snd_lib_error_set_handler(QuietAlsaError); });
}

int CountCardPlaybackDevices() {
  int count = 0;
  int card = -1;
  while (snd_card_next(&card) == 0 && card >= 0) {
    char name[32];
    std::snprintf(name, sizeof name, "hw:%d", card);
    snd_ctl_t* ctl = nullptr;
    if (snd_ctl_open(&ctl, name, SND_CTL_NONBLOCK) < 0) continue;
    int device = -1;
    while (snd_ctl_pcm_next_device(ctl, &device) == 0 && device >= 0) {
      snd_pcm_info_t* info;
      snd_pcm_info_alloca(&info);
      snd_pcm_info_set_device(info, static_cast<unsigned>(device));
      snd_pcm_info_set_subdevice(info, 0);
      snd_pcm_info_set_stream(info, SND_PCM_STREAM_PLAYBACK);
      if (snd_ctl_pcm_info(ctl, info) == 0) ++count;
    }
    snd_ctl_close(ctl);
  }
  return count;
}

// One background thread plays one tone at a time; a new request replaces the pending or playing
// one at the next chunk boundary.
class TPlayer {
 public:
  TPlayer() : m_thread([this] { Run(); }) {}
  ~TPlayer() {
    {
      std::lock_guard guard(m_lock);
      m_quit = true;
      ++m_generation;
    }
    m_wake.notify_all();
    m_thread.join();
  }

  void Play(TWaveData wave) {
    {
      std::lock_guard guard(m_lock);
      m_pending = std::move(wave);
      ++m_generation;
    }
    m_wake.notify_all();
  }

  void WaitIdle() {
    std::unique_lock guard(m_lock);
    m_wake.wait(guard, [this] { return !m_pending && !m_playing; });
  }

 private:
  void Run() {
    std::unique_lock guard(m_lock);
    for (;;) {
      m_wake.wait(guard, [this] { return m_quit || m_pending; });
      if (m_quit) return;
      TWaveData wave = std::move(*m_pending);
      m_pending.reset();
      m_playing = true;
      const uint64_t generation = m_generation;
      guard.unlock();
      PlayOne(wave, generation);
      guard.lock();
      m_playing = false;
      m_wake.notify_all();
    }
  }

  bool Superseded(uint64_t generation) {
    std::lock_guard guard(m_lock);
    return m_generation != generation;
  }

  void PlayOne(const TWaveData& wave, uint64_t generation) {
    snd_pcm_t* pcm = nullptr;
    if (snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, 0) < 0) return;
    auto closePcm = support::ScopeExit([pcm] { snd_pcm_close(pcm); });
    const snd_pcm_format_t format =
        wave.BitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
    if (snd_pcm_set_params(pcm, format, SND_PCM_ACCESS_RW_INTERLEAVED,
                           static_cast<unsigned>(wave.Channels),
                           static_cast<unsigned>(wave.SampleRate), 1, kLatencyUs) < 0) {
      return;
    }
    const size_t frameBytes = static_cast<size_t>(wave.Channels * wave.BitsPerSample / 8);
    const snd_pcm_uframes_t frames = wave.Samples.size() / frameBytes;
    snd_pcm_uframes_t done = 0;
    bool cut = false;
    while (done < frames) {
      if (Superseded(generation)) {
        cut = true;
        break;
      }
      const snd_pcm_uframes_t chunk = std::min(kChunkFrames, frames - done);
      snd_pcm_sframes_t n = snd_pcm_writei(pcm, wave.Samples.data() + done * frameBytes, chunk);
      if (n < 0) n = snd_pcm_recover(pcm, static_cast<int>(n), 1);
      if (n < 0) break;
      done += static_cast<snd_pcm_uframes_t>(n);
    }
    if (cut) {
      snd_pcm_drop(pcm);
    } else {
      WaitUntilPlayed(pcm, generation);
    }
  }

  // Lets the written frames play out, giving way at once to a newer tone.
  void WaitUntilPlayed(snd_pcm_t* pcm, uint64_t generation) {
    for (;;) {
      snd_pcm_sframes_t delay = 0;
      if (snd_pcm_state(pcm) != SND_PCM_STATE_RUNNING &&
          snd_pcm_state(pcm) != SND_PCM_STATE_PREPARED)
        break;
      if (snd_pcm_delay(pcm, &delay) < 0 || delay <= 0) break;
      std::unique_lock guard(m_lock);
      if (m_wake.wait_for(guard, std::chrono::milliseconds(2),
                          [&] { return m_generation != generation; })) {
        guard.unlock();
        snd_pcm_drop(pcm);
        return;
      }
    }
    snd_pcm_drain(pcm);
  }

  std::mutex m_lock;
  std::condition_variable m_wake;
  std::optional<TWaveData> m_pending;
  bool m_playing = false;
  bool m_quit = false;
  uint64_t m_generation = 0;
  std::thread m_thread;  // last: starts after the members it uses exist
};

TPlayer& Player() {
  static TPlayer player;
  return player;
}

}  // namespace

int PlaybackDeviceCount() {
  SilenceAlsa();
  snd_pcm_t* pcm = nullptr;
  const int rc = snd_pcm_open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK);
  // A default device busy with another stream still exists.
  if (rc < 0 && rc != -EBUSY) return 0;
  if (rc == 0) snd_pcm_close(pcm);
  return std::max(1, CountCardPlaybackDevices());
}

std::optional<TWaveData> ParseWav(const std::vector<uint8_t>& image) {
  const uint8_t* p = image.data();
  const size_t size = image.size();
  if (size < 12 || std::memcmp(p, "RIFF", 4) != 0 || std::memcmp(p + 8, "WAVE", 4) != 0)
    return std::nullopt;
  TWaveData wave;
  bool haveFormat = false;
  size_t pos = 12;
  while (pos + 8 <= size) {
    const uint32_t chunkSize = ReadLe32(p + pos + 4);
    const size_t body = pos + 8;
    if (chunkSize > size - body) return std::nullopt;
    if (std::memcmp(p + pos, "fmt ", 4) == 0) {
      if (chunkSize < 16 || ReadLe16(p + body) != 1) return std::nullopt;  // PCM only
      wave.Channels = ReadLe16(p + body + 2);
      wave.SampleRate = static_cast<int>(ReadLe32(p + body + 4));
      wave.BitsPerSample = ReadLe16(p + body + 14);
      haveFormat = true;
    } else if (std::memcmp(p + pos, "data", 4) == 0) {
      if (!haveFormat) return std::nullopt;
      wave.Samples.assign(p + body, p + body + chunkSize);
      const bool playable = (wave.Channels == 1 || wave.Channels == 2) &&
                            (wave.BitsPerSample == 8 || wave.BitsPerSample == 16) &&
                            wave.SampleRate > 0 && wave.SampleRate <= 384000;
      if (!playable) return std::nullopt;
      return wave;
    }
    pos = body + chunkSize + (chunkSize & 1);  // chunks are padded to even sizes
  }
  return std::nullopt;
}

bool PlayWavAsync(std::vector<uint8_t> image) {
  std::optional<TWaveData> wave = ParseWav(image);
  if (!wave) return false;
  SilenceAlsa();
  Player().Play(std::move(*wave));
  return true;
}

void WaitForPlayback() { Player().WaitIdle(); }

}  // namespace platform
