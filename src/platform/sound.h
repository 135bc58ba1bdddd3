#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace platform {

// The number of sound output devices: the ALSA cards' playback devices, at least 1 when the
// default PCM can be opened, and 0 when it cannot (nothing to play on).
int PlaybackDeviceCount();

// The samples of a RIFF/WAVE image: PCM, 8 or 16 bits, 1 or 2 channels.
struct TWaveData {
  int Channels = 0;
  int SampleRate = 0;
  int BitsPerSample = 0;
  std::vector<uint8_t> Samples;  // the data chunk's bytes, frames interleaved
};
std::optional<TWaveData> ParseWav(const std::vector<uint8_t>& image);

// Plays a WAV image on the default PCM from a background thread and returns at once. A tone
// still playing is cut off by the new one. False when the image is not a WAV image we can play.
bool PlayWavAsync(std::vector<uint8_t> image);

// Waits until the player has nothing more to play (for tests and orderly shutdown).
void WaitForPlayback();

}  // namespace platform
