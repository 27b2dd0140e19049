// tone_check [--gaps N]: reads interleaved signed 32-bit stereo samples from
// standard input and checks that channel 0 is a 1 kHz sine at -20 dBFS
// (48 kHz) in blocks of 768 samples: every block at full level, and the
// sine continuous from block to block (a gap or a repeated block breaks the
// recurrence x[n] = 2 cos(w) x[n-1] - x[n-2] and shows as a discontinuity).
// A block the appliance dropped (a loaded machine may) leaves a
// discontinuity at a block boundary; --gaps allows up to N of them (the
// timecode jumps the receiver counted). Anywhere else, or a block below
// the level, is a fault.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    constexpr size_t block = 768;
    size_t allowed = 0;
    if (argc == 3 && strcmp(argv[1], "--gaps") == 0) {
        allowed = size_t(atol(argv[2]));
    } else if (argc != 1) {
        fprintf(stderr, "usage: tone_check [--gaps N] < SAMPLES\n");
        return 2;
    }
    std::vector<int32_t> samples;
    int32_t frame[2];
    while (fread(frame, sizeof frame, 1, stdin) == 1)
        samples.push_back(frame[0]);
    if (samples.size() < block) {
        fprintf(stderr, "tone_check: no audio\n");
        return 1;
    }
    const double k = 2 * std::cos(2 * M_PI * 1000.0 / 48000.0);
    const double level = 0.1 * 2147483647.0;   // -20 dBFS
    double peak = 0;
    size_t quiet = 0;
    for (size_t b = 0; b + block <= samples.size(); b += block) {
        double block_peak = 0;
        for (size_t i = b; i < b + block; ++i)
            block_peak = std::max(block_peak, std::fabs(double(samples[i])));
        peak = std::max(peak, block_peak);
        if (std::fabs(20 * std::log10(block_peak / level)) > 0.5)
            ++quiet;
    }
    // A seam between blocks spoils the recurrence at its first two samples.
    size_t seams = 0, inside = 0;
    for (size_t i = 2; i < samples.size(); ++i) {
        if (std::fabs(samples[i] - (k * samples[i - 1] - samples[i - 2])) <= level * 0.01)
            continue;
        if (i % block == 0)
            ++seams;
        else if (i % block != 1)
            ++inside;
    }
    const double dbfs = 20 * std::log10(peak / 2147483648.0);
    printf("%zu samples (%.3f s), peak %.2f dBFS, %zu blocks off the level, %zu discontinuities between blocks "
           "(%zu allowed), %zu within\n",
           samples.size(), samples.size() / 48000.0, dbfs, quiet, seams, allowed, inside);
    return quiet == 0 && inside == 0 && seams <= allowed && std::fabs(dbfs + 20) < 0.5 ? 0 : 1;
}
