// The remote registry's messages on arbitrary bytes, from both ends. The first
// byte picks the end: the server reads the rest as a stream of requests (in a
// registry of the fuzzer's own) and must neither crash nor answer a frame it
// was not asked for; the client's readers take the rest as an answer of each
// kind and must stay inside it.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "win32/api.h"
#include "win32/posix/remote_wire.h"

namespace {

using namespace posix::wire;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void ServeStream(const std::string& requests) {
    const int input = memfd_create("requests", 0);
    const int output = memfd_create("answers", 0);
    Check(input >= 0 && output >= 0);
    Check(write(input, requests.data(), requests.size()) == static_cast<ssize_t>(requests.size()));
    lseek(input, 0, SEEK_SET);
    Api().QvtrServeRegistry(input, output);
    // Every answer the server wrote is a whole frame.
    const off_t written = lseek(output, 0, SEEK_END);
    lseek(output, 0, SEEK_SET);
    std::string body;
    off_t read = 0;
    while (read < written && ReceiveFrame(output, body, 0)) {
        read += 4 + static_cast<off_t>(body.size());
    }
    Check(read == written);
    close(input);
    close(output);
}

void ReadAnswers(const std::string& bytes) {
    Reader facts(bytes);
    posix::reg::Facts f;
    Get(facts, f);
    Reader keys(bytes);
    SubKeys k;
    if (Get(keys, k)) {
        Check(k.rows.size() <= bytes.size() / 16);
    }
    Reader values(bytes);
    Values v;
    Get(values, v);
    Reader pictures(bytes);
    for (uint32_t n = pictures.U32(); n-- > 0 && pictures.Ok();) {
        Picture picture;
        Get(pictures, picture);
    }
}

}  // namespace

char g_directory[] = "/tmp/qvtr-remote-fuzz-XXXXXX";

void RemoveRegistry() {
    for (const char* file : {"/registry.db", "/registry.db-wal", "/registry.db-shm"}) {
        unlink((std::string(g_directory) + file).c_str());
    }
    rmdir(g_directory);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Check(mkdtemp(g_directory) != nullptr);
    setenv("QVTR_REGISTRY", (std::string(g_directory) + "/registry.db").c_str(), 1);
    std::atexit(RemoveRegistry);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::string rest(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] & 1) {
        ServeStream(rest);
    } else {
        ReadAnswers(rest);
    }
    return 0;
}
