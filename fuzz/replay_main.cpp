// Replays inputs through a fuzz target's entry point, in builds without
// libFuzzer: every test build runs each target over its corpus, so an input
// that once crashed a parser and was added to the corpus keeps it fixed.
// Each argument is a file or a folder of files (not descended into). A
// crash or sanitizer report ends the process; arguments that yield no input
// at all are an error, so a corpus that went missing cannot pass unnoticed.
#include <stdint.h>
#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool Replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        fprintf(stderr, "%s: cannot be read\n", file.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the input's size: reads past it are caught.
    std::vector<uint8_t> input(bytes);
    LLVMFuzzerTestOneInput(input.empty() ? nullptr : input.data(), input.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE|FOLDER...\n", argv[0]);
        return 2;
    }
    size_t replayed = 0;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        std::filesystem::path path(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(path, error)) {
            for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
                if (entry.is_regular_file()) files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
        } else if (std::filesystem::is_regular_file(path, error)) {
            files.push_back(path);
        } else {
            fprintf(stderr, "%s: no such file or folder\n", argv[i]);
            return 2;
        }
        for (const auto& file : files) {
            if (!Replay(file)) return 2;
            ++replayed;
        }
    }
    if (replayed == 0) {
        fprintf(stderr, "no input to replay: the corpus is empty\n");
        return 2;
    }
    printf("replayed %zu inputs\n", replayed);
    return 0;
}
