// Stand-in for libFuzzer's main when the compiler has none (g++): replays the seed corpus,
// then feeds mutated and random inputs, bounded in count and time, with a fixed seed so a
// failure can be reproduced. A crash or abort fails the test; the printed input shows it.
//
//   fuzz_<target>_replay <corpus-dir> [inputs=20000] [max-seconds=10]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <csignal>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes *g_current = nullptr;

void printCurrent()
{
    if (!g_current)
        return;
    std::fprintf(stderr, "fuzz replay: failing input (%zu bytes):", g_current->size());
    for (uint8_t b : *g_current)
        std::fprintf(stderr, " %02x", b);
    std::fprintf(stderr, "\n");
}

void run(const Bytes &input)
{
    g_current = &input;
    LLVMFuzzerTestOneInput(input.data(), input.size());
    g_current = nullptr;
}

Bytes mutate(Bytes in, const std::vector<Bytes> &seeds, std::mt19937_64 &rng)
{
    static const uint8_t interesting[] = {0x00, 0x01, 0x17, 0x18, 0x1f, 0x20, 0x3f, 0x40, 0x5f,
                                          0x60, 0x7f, 0x80, 0x9f, 0xa0, 0xbf, 0xc0, 0xdf, 0xf4,
                                          0xf6, 0xf7, 0xfb, 0xff, '"', '\\', '{', '}', '[', ']',
                                          ',', ':', 0xc3, 0xed};
    auto pick = [&](std::size_t n) { return n ? std::size_t(rng() % n) : 0; };
    const int rounds = 1 + int(rng() % 4);
    for (int r = 0; r < rounds; ++r) {
        switch (rng() % 7) {
        case 0:
            if (!in.empty())
                in[pick(in.size())] ^= uint8_t(1u << (rng() % 8));
            break;
        case 1:
            if (!in.empty())
                in[pick(in.size())] = interesting[pick(sizeof interesting)];
            break;
        case 2: {
            const std::size_t at = pick(in.size() + 1);
            const std::size_t n = 1 + pick(8);
            for (std::size_t i = 0; i < n; ++i)
                in.insert(in.begin() + std::ptrdiff_t(at), uint8_t(rng()));
            break;
        }
        case 3:
            if (!in.empty()) {
                const std::size_t at = pick(in.size());
                const std::size_t n = std::min(in.size() - at, 1 + pick(16));
                in.erase(in.begin() + std::ptrdiff_t(at), in.begin() + std::ptrdiff_t(at + n));
            }
            break;
        case 4:
            if (!in.empty()) {   // repeat a slice: deep nesting, long strings
                const std::size_t at = pick(in.size());
                const std::size_t n = std::min(in.size() - at, 1 + pick(32));
                const Bytes slice(in.begin() + std::ptrdiff_t(at), in.begin() + std::ptrdiff_t(at + n));
                const std::size_t times = 1 + pick(64);
                for (std::size_t t = 0; t < times && in.size() < 65536; ++t)
                    in.insert(in.begin() + std::ptrdiff_t(at), slice.begin(), slice.end());
            }
            break;
        case 5:
            if (!seeds.empty()) {   // splice with another seed
                const Bytes &other = seeds[pick(seeds.size())];
                const std::size_t cut = pick(in.size() + 1);
                const std::size_t from = pick(other.size() + 1);
                in.resize(cut);
                in.insert(in.end(), other.begin() + std::ptrdiff_t(from), other.end());
            }
            break;
        default:
            if (!in.empty())
                in.resize(pick(in.size()));
            break;
        }
    }
    return in;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <corpus-dir> [inputs] [max-seconds]\n", argv[0]);
        return 2;
    }
    const long inputs = argc > 2 ? std::atol(argv[2]) : 20000;
    const long maxSeconds = argc > 3 ? std::atol(argv[3]) : 10;
    // Test driver only: printing from a signal handler is good enough to show the input.
    for (int sig : {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        std::signal(sig, [](int s) {
            printCurrent();
            std::signal(s, SIG_DFL);
            std::raise(s);
        });

    std::vector<Bytes> seeds;
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(argv[1]))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    for (const auto &f : files) {
        std::ifstream in(f, std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        run(seeds.back());
    }
    if (seeds.empty()) {
        std::fprintf(stderr, "fuzz replay: no seeds in %s\n", argv[1]);
        return 1;
    }

    std::mt19937_64 rng(0x5eedf15c);
    const auto stopAt = std::chrono::steady_clock::now() + std::chrono::seconds(maxSeconds);
    long done = 0;
    for (; done < inputs && std::chrono::steady_clock::now() < stopAt; ++done) {
        Bytes input;
        if (rng() % 10 == 0) {
            input.resize(rng() % 256);
            for (auto &b : input)
                b = uint8_t(rng());
        } else {
            input = mutate(seeds[rng() % seeds.size()], seeds, rng);
        }
        run(input);
    }
    std::printf("fuzz replay: %zu seeds and %ld generated inputs, no failure\n", seeds.size(), done);
    return 0;
}
