// Replay main() for builds without libFuzzer (GCC, the sanitizer presets, the MIPS builds
// under qemu): runs every file of the given corpus directories, and every file named directly,
// through LLVMFuzzerTestOneInput once, in name order. Each input is handed over in a heap
// block of exactly its size, as libFuzzer does. A crash or abort fails the run; so does an
// empty corpus, which would otherwise pass without testing anything.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

int main(int argc, char** argv)
{
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; i++) {
        const fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            for (const auto& entry : fs::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        } else if (fs::is_regular_file(arg)) {
            inputs.push_back(arg);
        } else {
            fprintf(stderr, "%s: no such corpus\n", argv[i]);
            return 2;
        }
    }
    if (inputs.empty()) {
        fprintf(stderr, "usage: %s <corpus directory or file>...: no inputs to replay\n", argv[0]);
        return 1;
    }
    std::sort(inputs.begin(), inputs.end());

    for (const auto& path : inputs) {
        const auto size = static_cast<size_t>(fs::file_size(path));
        std::unique_ptr<uint8_t[]> data(new uint8_t[size]);
        std::ifstream in(path, std::ios::binary);
        if (!in.read(reinterpret_cast<char*>(data.get()), static_cast<std::streamsize>(size))) {
            fprintf(stderr, "%s: read error\n", path.c_str());
            return 2;
        }
        LLVMFuzzerTestOneInput(data.get(), size);
    }
    fprintf(stderr, "replayed %zu inputs\n", inputs.size());
    return 0;
}
