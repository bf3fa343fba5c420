// What a remote machine's registry and its client say to each other over the
// ssh channel: frames of a 4-byte little-endian length and a body, a request
// being its operation (named after the Windows remote-registry protocol's),
// the server's key handle and the arguments, an answer its Win32 code and the
// results. Every size is checked before it is used: a frame from the other
// side is untrusted, whichever side reads it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "win32/posix/registry_memory.h"

namespace posix {
namespace wire {

enum Op : uint8_t {
    kOpenLocalMachine = 2,
    kOpenUsers = 4,
    kBaseRegCloseKey = 5,  // no answer
    kBaseRegCreateKey = 6,
    kBaseRegDeleteKey = 7,
    kBaseRegDeleteValue = 8,
    kBaseRegEnumKey = 9,
    kBaseRegEnumValue = 10,
    kBaseRegOpenKey = 15,
    kBaseRegQueryInfoKey = 16,
    kBaseRegQueryValue = 17,
    kBaseRegSetValue = 22,
    kHello = 0x71,  // first request of a connection: the greeting, answered with the server's name
};

constexpr char kGreeting[] = "qvtr remote registry 1";
// The largest frame either side accepts; a value that does not fit is refused.
constexpr uint32_t kMaxFrame = 64u << 20;
// What a batch of entries or a read-ahead of a tree holds at most (at least one entry).
constexpr size_t kBatchBytes = 256u << 10;
constexpr size_t kTreeBytes = 2u << 20;
constexpr size_t kTreeKeys = 8192;

class Writer {
public:
    Writer& U8(uint8_t value);
    Writer& U32(uint32_t value);
    Writer& U64(uint64_t value);
    Writer& Text(const std::string& text);
    Writer& Raw(const std::string& bytes);
    const std::string& Bytes() const { return m_bytes; }
    size_t Size() const { return m_bytes.size(); }

private:
    std::string m_bytes;
};

// Reads a body; past its end or beyond a limit it fails from then on, and
// every later read gives zero or empty.
class Reader {
public:
    explicit Reader(const std::string& bytes) : m_bytes(bytes) {}
    uint8_t U8();
    uint32_t U32();
    uint64_t U64();
    std::string Text(size_t limit = kMaxFrame);
    bool Ok() const { return m_ok; }
    // Read to its end without a failure: nothing missing, nothing left over.
    bool Done() const { return m_ok && m_at == m_bytes.size(); }

private:
    bool Take(size_t size);
    const std::string& m_bytes;
    size_t m_at = 0;
    bool m_ok = true;
};

// Entries read from `first` on; `end` when the last one is among them.
template <class Row>
struct Batch {
    using Entry = Row;
    DWORD first = 0;
    bool end = false;
    std::vector<Row> rows;
    const Row* At(DWORD index) const {
        return index >= first && index - first < rows.size() ? &rows[index - first] : nullptr;
    }
    bool PastEnd(DWORD index) const { return end && index >= first + rows.size(); }
};
using SubKeys = Batch<reg::SubKeyRow>;
using Values = Batch<reg::ValueRow>;

// A key read ahead: its facts and its first batch of each kind. `path` is
// relative to the key the read-ahead started at (empty for that one), folded.
struct Picture {
    std::string path;
    reg::Facts facts;
    SubKeys subKeys;
    Values values;
};

void Put(Writer& out, const reg::Facts& facts);
void Put(Writer& out, const SubKeys& batch);
void Put(Writer& out, const Values& batch);
void Put(Writer& out, const Picture& picture);
bool Get(Reader& in, reg::Facts& facts);
bool Get(Reader& in, SubKeys& batch);
bool Get(Reader& in, Values& batch);
bool Get(Reader& in, Picture& picture);

// Sends one frame; `socket` sends without SIGPIPE. False when the channel is gone.
bool SendFrame(int fd, const std::string& body, bool socket);
// Receives one frame, waiting at most `idleMs` for each piece (-1: no limit).
// False when the channel closed, stalled or sent a frame over kMaxFrame.
bool ReceiveFrame(int fd, std::string& body, int idleMs);

}  // namespace wire
}  // namespace posix
