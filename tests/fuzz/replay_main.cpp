// Runs a fuzz target without a fuzzing engine: every seed of a corpus folder, then a fixed
// number of deterministic mutations of them. CTest runs this under the sanitizers, so the
// seeds act as named regression inputs and the mutations as a cheap, repeatable fuzz pass.
//
//   replay CORPUS_DIR [MUTATIONS]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

using Bytes = std::vector<uint8_t>;

void mutate(Bytes &b, std::mt19937 &rng, const std::vector<Bytes> &seeds) {
    const int edits = 1 + static_cast<int>(rng() % 8);
    for (int e = 0; e < edits; ++e) {
        const size_t pos = b.empty() ? 0 : rng() % b.size();
        switch (rng() % 6) {
            case 0:  // flip a bit
                if (!b.empty()) b[pos] ^= static_cast<uint8_t>(1u << (rng() % 8));
                break;
            case 1:  // a random byte, often an edge value
                if (!b.empty()) {
                    static const uint8_t edge[] = {0x00, 0xFF, 0x7F, 0x80, '-', '"', ':', '\n'};
                    b[pos] = rng() % 2 ? static_cast<uint8_t>(rng()) : edge[rng() % 8];
                }
                break;
            case 2:  // insert bytes
                b.insert(b.begin() + static_cast<long>(pos), 1 + rng() % 16, static_cast<uint8_t>(rng()));
                break;
            case 3:  // erase bytes
                if (!b.empty()) b.erase(b.begin() + static_cast<long>(pos),
                                        b.begin() + static_cast<long>(std::min(b.size(), pos + 1 + rng() % 16)));
                break;
            case 4:  // truncate
                b.resize(pos);
                break;
            default: {  // splice in part of another seed
                const Bytes &other = seeds[rng() % seeds.size()];
                if (!other.empty()) {
                    const size_t from = rng() % other.size();
                    const size_t n = std::min<size_t>(other.size() - from, 1 + rng() % 64);
                    b.insert(b.begin() + static_cast<long>(pos), other.begin() + static_cast<long>(from),
                             other.begin() + static_cast<long>(from + n));
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR [MUTATIONS]\n", argv[0]);
        return 2;
    }
    const long mutations = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 1000;
    std::vector<std::filesystem::path> files;
    for (const auto &entry : std::filesystem::directory_iterator(argv[1]))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    std::vector<Bytes> seeds;
    for (const auto &file : files) {
        std::ifstream in(file, std::ios::binary);
        seeds.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(seeds.back().data(), seeds.back().size());
    }
    if (seeds.empty()) seeds.emplace_back();
    std::mt19937 rng(20261209);
    for (long i = 0; i < mutations; ++i) {
        Bytes b = seeds[static_cast<size_t>(i) % seeds.size()];
        mutate(b, rng, seeds);
        LLVMFuzzerTestOneInput(b.data(), b.size());
    }
    std::printf("%zu seeds, %ld mutations: ok\n", files.size(), mutations);
    return 0;
}
