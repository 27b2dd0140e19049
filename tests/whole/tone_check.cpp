// tone_check: reads interleaved signed 32-bit stereo samples from standard
// input and checks that channel 0 is one continuous 1 kHz sine at -20 dBFS
// (48 kHz): a gap or a repeated block breaks the sine's recurrence
// x[n] = 2 cos(w) x[n-1] - x[n-2] and shows as a discontinuity.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <vector>

int main()
{
    std::vector<int32_t> samples;
    int32_t frame[2];
    while (fread(frame, sizeof frame, 1, stdin) == 1)
        samples.push_back(frame[0]);
    if (samples.size() < 3) {
        fprintf(stderr, "tone_check: no audio\n");
        return 1;
    }
    const double k = 2 * std::cos(2 * M_PI * 1000.0 / 48000.0);
    double peak = 0;
    for (int32_t s : samples)
        peak = std::max(peak, std::fabs(double(s)));
    size_t breaks = 0;
    for (size_t i = 2; i < samples.size(); ++i)
        if (std::fabs(samples[i] - (k * samples[i - 1] - samples[i - 2])) > peak * 0.01)
            ++breaks;
    const double dbfs = 20 * std::log10(peak / 2147483648.0);
    printf("%zu samples (%.3f s), peak %.2f dBFS, %zu discontinuities\n", samples.size(),
           samples.size() / 48000.0, dbfs, breaks);
    return breaks == 0 && std::fabs(dbfs + 20) < 0.5 ? 0 : 1;
}
