// Replays saved inputs through a fuzz target without libFuzzer, so that every
// build (g++ included) runs the corpus and the regression inputs as a test.
// Arguments: files or folders; a folder's files run in name order, hidden
// files (.gitkeep) skipped. A failing input ends the process (abort or a
// sanitizer report) after its path was printed.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool RunFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // An exactly sized block of its own, as libFuzzer gives it, so a read
    // one byte too far is caught by the address sanitizer.
    std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size()]);
    if (!bytes.empty())
        std::memcpy(data.get(), bytes.data(), bytes.size());
    std::fprintf(stderr, "input %s (%zu bytes)\n", path.c_str(), bytes.size());
    std::fflush(stderr);
    LLVMFuzzerTestOneInput(data.get(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <input file or folder>...\n", argv[0]);
        return 2;
    }
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg = argv[i];
        std::error_code error;
        if (fs::is_directory(arg, error)) {
            std::vector<fs::path> files;
            for (const auto& entry : fs::directory_iterator(arg))
                if (entry.is_regular_file() && entry.path().filename().string()[0] != '.')
                    files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            for (const auto& file : files) {
                if (!RunFile(file))
                    return 1;
                ++count;
            }
        } else if (fs::is_regular_file(arg, error)) {
            if (!RunFile(arg))
                return 1;
            ++count;
        } else {
            std::fprintf(stderr, "no such file or folder: %s\n", arg.c_str());
            return 1;
        }
    }
    std::printf("%zu inputs passed\n", count);
    return 0;
}
