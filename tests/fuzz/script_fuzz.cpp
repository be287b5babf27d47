// Runs arbitrary bytes as a script through the real runner and every command, in a private folder.
//
// An input holding the line "--script--" is split there: the bytes before it become the file in.tga, the
// rest is the script. Every input starts from the same folder: data/ with the test images, the paint
// texture, and in.tga when the input has one. Paths that could leave the folder (a token starting with
// '/', or holding "..") make the input uninteresting, so that no script writes anywhere else. The pixels
// of all images together are kept under a few mebibytes, which keeps every input quick; anything larger
// fails as it would on a smaller machine.

#include "interpreter/runner.h"
#include "system/memory_budget.h"
#include "tga/tga.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <unistd.h>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t imageMemoryLimit = std::uint64_t{16} << 20;
constexpr std::string_view marker = "\n--script--\n";

struct StartFile {
    fs::path path;
    std::string bytes;
};

std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const fs::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// The files every input starts with, relative to the private folder.
std::vector<StartFile>& startFiles() {
    static std::vector<StartFile> files;
    return files;
}

// A path token could name something outside the folder.
bool leavesTheFolder(std::string_view script) {
    if (script.find("..") != std::string_view::npos)
        return true;
    for (std::size_t i = script.find('/'); i != std::string_view::npos; i = script.find('/', i + 1)) {
        const auto before = i == 0 ? 0u : static_cast<unsigned char>(script[i - 1]);
        if (before <= 0x20 || before >= 0x80)
            return true;
    }
    return false;
}

// Only write, paint and painter create or change files; a script without them leaves the folder as it was.
bool mayChangeFiles(std::string_view script) {
    std::string lower(script);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower.find("write") != std::string::npos || lower.find("paint") != std::string::npos;
}

// Whether the folder may differ from the start files.
bool folderChanged = true;

void resetFolder() {
    for (const auto& entry : fs::directory_iterator("."))
        fs::remove_all(entry.path());
    for (const StartFile& f : startFiles()) {
        fs::create_directories(f.path.parent_path());
        writeBytes(f.path, f.bytes);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const fs::path source = CHROMALOOM_SOURCE_DIR;
    for (const auto& entry : fs::directory_iterator(source / "tests" / "data"))
        if (entry.is_regular_file())
            startFiles().push_back({fs::path("data") / entry.path().filename(), readBytes(entry.path())});
    const fs::path texture = fs::path("requiredimages") / "texture.tga";
    startFiles().push_back({texture, readBytes(source / texture)});

    // The folder is CHROMALOOM_FUZZ_DIR when set (run.sh makes one and removes it afterwards), otherwise a
    // new one, in memory where the system offers it: every input may create and remove files.
    std::string folder;
    if (const char* given = std::getenv("CHROMALOOM_FUZZ_DIR")) {
        folder = given;
    } else {
        const fs::path parent = fs::is_directory("/dev/shm") ? "/dev/shm" : fs::temp_directory_path();
        folder = (parent / "chromaloom-fuzz-XXXXXX").string();
        if (mkdtemp(folder.data()) == nullptr)
            folder.clear();
    }
    if (folder.empty() || chdir(folder.c_str()) != 0) {
        std::perror("chromaloom fuzz: private folder");
        std::exit(1);
    }
    // What the program prints would drown the fuzzer's own report.
    if (std::freopen("/dev/null", "w", stdout) == nullptr)
        std::exit(1);
    prepareProcess();
    setImageMemoryLimit(imageMemoryLimit);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view tga;
    const std::size_t split = input.find(marker);
    if (split != std::string_view::npos) {
        tga = input.substr(0, split);
        input.remove_prefix(split + marker.size());
    }
    if (leavesTheFolder(input))
        return -1;

    if (folderChanged)
        resetFolder();
    folderChanged = split != std::string_view::npos || mayChangeFiles(input);
    if (split != std::string_view::npos)
        writeBytes("in.tga", tga);
    // The state a fresh process starts with.
    TgaError = TgaCode::NoError;
    std::srand(1);
    runScriptText(input.data(), input.size());
    return 0;
}
