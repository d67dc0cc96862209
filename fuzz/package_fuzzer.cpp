// libFuzzer target: Setupsmith's whole way through a package, from the check of its tables to
// libmsi and the transform, on a package and a server text taken from the fuzz input. An input
// that starts with a compound file's signature is the package file itself, so its container is
// fuzzed too; any other input is a server text and a list of streams, written into a sound
// compound file, so that mutations reach the tables and the string pool:
//     [server length: 1][server text] then for each stream [name length: 1][name][size: 4][bytes]
// (names as UTF-8, sizes little-endian and cut to what is left).
//     package_fuzzer --streams-from=PACKAGE --streams-to=SEED
// writes a package as such a list (how the seeds in fuzz/corpus/package_fuzzer were made).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "transform/create_transform.h"
#include "transform/derived_names.h"
#include "transform/little_endian.h"
#include "transform/posix/compound_file.h"

namespace qv {
namespace {

// {000C1084-0000-0000-C000-000000000046}, as it is stored: the class of installer packages.
constexpr CLASS_ID PACKAGE_CLASS_ID = {0x84, 0x10, 0x0C, 0x00, 0x00, 0x00, 0x00, 0x00,
                                       0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};
constexpr uint8_t COMPOUND_FILE_SIGNATURE[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr const char* DEFAULT_SERVER = "10.1.1.2";

std::string Folder;

class INPUT_READER {
public:
    INPUT_READER(const uint8_t* data, size_t size) : Data(data), Size(size) {}
    bool AtEnd() const { return Offset >= Size; }
    std::string Take(size_t count) {
        count = std::min(count, Size - Offset);
        std::string bytes(reinterpret_cast<const char*>(Data + Offset), count);
        Offset += count;
        return bytes;
    }
    uint32_t Number(uint32_t size) {
        std::string bytes = Take(size);
        bytes.resize(size, '\0');
        return ReadLittleEndian(bytes, 0, size);
    }

private:
    const uint8_t* Data;
    size_t Size;
    size_t Offset = 0;
};

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file.good();
}

// Writes the package that the input describes and gives the server text.
bool MakePackage(const uint8_t* data, size_t size, const std::string& path, std::string& server) {
    if (size >= sizeof COMPOUND_FILE_SIGNATURE && std::memcmp(data, COMPOUND_FILE_SIGNATURE, sizeof COMPOUND_FILE_SIGNATURE) == 0) {
        server = DEFAULT_SERVER;
        return WriteFile(path, std::string(reinterpret_cast<const char*>(data), size));
    }
    INPUT_READER input(data, size);
    server = input.Take(input.Number(1));
    std::vector<COMPOUND_STREAM> streams;
    while (!input.AtEnd()) {
        COMPOUND_STREAM stream;
        stream.Name = input.Take(input.Number(1));
        stream.Bytes = input.Take(input.Number(4));
        // libgsf can't name a stream with an empty or unterminated name.
        if (stream.Name.empty() || stream.Name.find('\0') != std::string::npos) continue;
        streams.push_back(std::move(stream));
    }
    return WriteCompoundFile(path, PACKAGE_CLASS_ID, streams) == 0;
}

// Writes a package's streams as a fuzz input.
int WriteStreamList(const char* packagePath, const char* seedPath) {
    CLASS_ID classId{};
    std::vector<COMPOUND_STREAM> streams;
    if (ReadCompoundFile(packagePath, classId, streams) != 0) {
        std::fprintf(stderr, "Unable to read %s\n", packagePath);
        return 1;
    }
    std::string seed;
    AppendLittleEndian(seed, static_cast<uint32_t>(std::strlen(DEFAULT_SERVER)), 1);
    seed += DEFAULT_SERVER;
    for (const COMPOUND_STREAM& stream : streams) {
        AppendLittleEndian(seed, static_cast<uint32_t>(stream.Name.size()), 1);
        seed += stream.Name;
        AppendLittleEndian(seed, static_cast<uint32_t>(stream.Bytes.size()), 4);
        seed += stream.Bytes;
    }
    return WriteFile(seedPath, seed) ? 0 : 1;
}

void RemoveFolder() { rmdir(Folder.c_str()); }

const char* FlagValue(int count, char** arguments, const char* flag) {
    const size_t length = std::strlen(flag);
    for (int i = 1; i < count; ++i) {
        if (std::strncmp(arguments[i], flag, length) == 0) return arguments[i] + length;
    }
    return nullptr;
}

}  // namespace
}  // namespace qv

// libgsf leaks the directory entries of a damaged compound file that it refuses (a few
// hundred bytes, once per file): its own fault, harmless to a program that runs once. Finding
// that in the leak's stack takes the full unwinder, since the libraries keep no frame pointers.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0:malloc_context_size=12"; }
extern "C" const char* __lsan_default_suppressions() { return "leak:gsf_infile_msole_new\n"; }

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    const char* from = qv::FlagValue(*argc, *argv, "--streams-from=");
    const char* to = qv::FlagValue(*argc, *argv, "--streams-to=");
    if (from != nullptr && to != nullptr) std::exit(qv::WriteStreamList(from, to));

    // Memory, not disk: every run writes and syncs a copy of the package.
    char folder[] = "/dev/shm/qv-package-fuzzer-XXXXXX";
    if (mkdtemp(folder) == nullptr) std::abort();
    qv::Folder = folder;
    std::atexit(qv::RemoveFolder);
    // Setupsmith talks on standard output; libFuzzer reports on standard error.
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (quiet < 0 || dup2(quiet, STDOUT_FILENO) < 0) std::abort();
    close(quiet);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string package = qv::Folder + "/package.msi";
    std::string server;
    if (qv::MakePackage(data, size, package, server)) {
        const qv::STRING input(package.c_str());
        qv::CreateTransform(input, qv::STRING(server.c_str()));
        unlink(qv::STRING_A(qv::ModifiedCopyPath(input)).Text());
        unlink(qv::STRING_A(qv::TransformPath(input)).Text());
    }
    unlink(package.c_str());
    return 0;
}
