// Writes the alarm sound as a WAV file: a two-tone siren (960 Hz and
// 770 Hz, 0.4 s each, three times), mono, 22050 samples a second. The
// build encodes it to MP3. Edges fade over 5 ms so the loop does not click.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

constexpr int kRate = 22050;
constexpr double kToneSeconds = 0.4;
constexpr int kCycles = 3;
constexpr double kFadeSeconds = 0.005;
constexpr double kPi = 3.14159265358979323846;

void Put16(std::vector<unsigned char>& AOut, std::uint16_t AValue) {
  AOut.push_back(static_cast<unsigned char>(AValue & 0xFF));
  AOut.push_back(static_cast<unsigned char>(AValue >> 8));
}

void Put32(std::vector<unsigned char>& AOut, std::uint32_t AValue) {
  Put16(AOut, static_cast<std::uint16_t>(AValue & 0xFFFF));
  Put16(AOut, static_cast<std::uint16_t>(AValue >> 16));
}

void PutText(std::vector<unsigned char>& AOut, const char* AText) {
  for (const char* c = AText; *c; ++c) AOut.push_back(static_cast<unsigned char>(*c));
}

} // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tervox-sound OUTPUT.wav\n");
    return 2;
  }
  const int toneSamples = static_cast<int>(kToneSeconds * kRate);
  const int fadeSamples = static_cast<int>(kFadeSeconds * kRate);
  std::vector<std::int16_t> samples;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    for (const double frequency : {960.0, 770.0}) {
      for (int i = 0; i < toneSamples; ++i) {
        const double t = static_cast<double>(i) / kRate;
        // A little of the third harmonic makes it sound like a horn, not
        // a test tone.
        double value = std::sin(2 * kPi * frequency * t) + 0.3 * std::sin(2 * kPi * 3 * frequency * t);
        double envelope = 1.0;
        if (i < fadeSamples) envelope = static_cast<double>(i) / fadeSamples;
        if (toneSamples - 1 - i < fadeSamples) envelope = static_cast<double>(toneSamples - 1 - i) / fadeSamples;
        value *= 0.55 * envelope / 1.3;
        samples.push_back(static_cast<std::int16_t>(std::lround(value * 32767)));
      }
    }
  }
  const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
  std::vector<unsigned char> file;
  PutText(file, "RIFF");
  Put32(file, 36 + dataBytes);
  PutText(file, "WAVE");
  PutText(file, "fmt ");
  Put32(file, 16);
  Put16(file, 1); // PCM
  Put16(file, 1); // mono
  Put32(file, kRate);
  Put32(file, kRate * 2);
  Put16(file, 2);
  Put16(file, 16);
  PutText(file, "data");
  Put32(file, dataBytes);
  for (const std::int16_t sample : samples) Put16(file, static_cast<std::uint16_t>(sample));
  std::FILE* output = std::fopen(argv[1], "wb");
  if (!output) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(file.data(), 1, file.size(), output) == file.size();
  return (std::fclose(output) == 0 && written) ? 0 : 1;
}
