#include "win32/posix/remote_wire.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "win32/posix/syscalls.h"

namespace posix {
namespace wire {

Writer& Writer::U8(uint8_t value) {
    m_bytes.push_back(static_cast<char>(value));
    return *this;
}

Writer& Writer::U32(uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        m_bytes.push_back(static_cast<char>(value >> (8 * i)));
    }
    return *this;
}

Writer& Writer::U64(uint64_t value) {
    return U32(static_cast<uint32_t>(value)).U32(static_cast<uint32_t>(value >> 32));
}

Writer& Writer::Text(const std::string& text) {
    U32(static_cast<uint32_t>(text.size()));
    m_bytes += text;
    return *this;
}

Writer& Writer::Raw(const std::string& bytes) {
    m_bytes += bytes;
    return *this;
}

bool Reader::Take(size_t size) {
    m_ok = m_ok && size <= m_bytes.size() - m_at;
    return m_ok;
}

uint8_t Reader::U8() {
    return Take(1) ? static_cast<uint8_t>(m_bytes[m_at++]) : 0;
}

uint32_t Reader::U32() {
    if (!Take(4)) {
        return 0;
    }
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(static_cast<uint8_t>(m_bytes[m_at++])) << (8 * i);
    }
    return value;
}

uint64_t Reader::U64() {
    const uint64_t low = U32();
    return low | static_cast<uint64_t>(U32()) << 32;
}

std::string Reader::Text(size_t limit) {
    const uint32_t size = U32();
    m_ok = m_ok && size <= limit;
    if (!Take(size)) {
        return std::string();
    }
    std::string text = m_bytes.substr(m_at, size);
    m_at += size;
    return text;
}

void Put(Writer& out, const reg::Facts& facts) {
    out.Text(facts.keyClass).U64(static_cast<uint64_t>(facts.written));
    for (DWORD count :
         {facts.subKeys, facts.maxSubKey, facts.maxClass, facts.values, facts.maxValueName, facts.maxValue}) {
        out.U32(count);
    }
}

bool Get(Reader& in, reg::Facts& facts) {
    facts.keyClass = in.Text();
    facts.written = static_cast<int64_t>(in.U64());
    for (DWORD* count :
         {&facts.subKeys, &facts.maxSubKey, &facts.maxClass, &facts.values, &facts.maxValueName, &facts.maxValue}) {
        *count = in.U32();
    }
    return in.Ok();
}

void Put(Writer& out, const SubKeys& batch) {
    out.U32(batch.first).U8(batch.end ? 1 : 0).U32(static_cast<uint32_t>(batch.rows.size()));
    for (const reg::SubKeyRow& row : batch.rows) {
        out.Text(row.name).Text(row.keyClass).U64(static_cast<uint64_t>(row.written));
    }
}

bool Get(Reader& in, SubKeys& batch) {
    batch.first = in.U32();
    batch.end = in.U8() != 0;
    const uint32_t count = in.U32();
    batch.rows.clear();
    // Every entry uses up bytes of the frame: a count it cannot hold stops at its end.
    for (uint32_t i = 0; i < count && in.Ok(); ++i) {
        reg::SubKeyRow row;
        row.name = in.Text();
        row.keyClass = in.Text();
        row.written = static_cast<int64_t>(in.U64());
        batch.rows.push_back(std::move(row));
    }
    return in.Ok();
}

void Put(Writer& out, const Values& batch) {
    out.U32(batch.first).U8(batch.end ? 1 : 0).U32(static_cast<uint32_t>(batch.rows.size()));
    for (const reg::ValueRow& row : batch.rows) {
        out.Text(row.name).U32(row.type).Text(row.data);
    }
}

bool Get(Reader& in, Values& batch) {
    batch.first = in.U32();
    batch.end = in.U8() != 0;
    const uint32_t count = in.U32();
    batch.rows.clear();
    for (uint32_t i = 0; i < count && in.Ok(); ++i) {
        reg::ValueRow row;
        row.name = in.Text();
        row.type = in.U32();
        row.data = in.Text();
        batch.rows.push_back(std::move(row));
    }
    return in.Ok();
}

void Put(Writer& out, const Picture& picture) {
    out.Text(picture.path);
    Put(out, picture.facts);
    Put(out, picture.subKeys);
    Put(out, picture.values);
}

bool Get(Reader& in, Picture& picture) {
    picture.path = in.Text();
    return Get(in, picture.facts) && Get(in, picture.subKeys) && Get(in, picture.values);
}

namespace {

bool SendAll(int fd, const char* bytes, size_t size, bool socket) {
    while (size != 0) {
        const ssize_t sent = socket ? Sys().send(fd, bytes, size, MSG_NOSIGNAL) : Sys().write(fd, bytes, size);
        if (sent < 0 && errno == EINTR) {
            continue;
        }
        if (sent <= 0) {
            return false;
        }
        bytes += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

bool ReceiveAll(int fd, char* bytes, size_t size, int idleMs) {
    while (size != 0) {
        if (idleMs >= 0) {
            pollfd ready = {fd, POLLIN, 0};
            const int polled = Sys().poll(&ready, 1, idleMs);
            if (polled < 0 && errno == EINTR) {
                continue;
            }
            if (polled <= 0) {
                return false;  // stalled, or the wait itself failed
            }
        }
        const ssize_t got = Sys().read(fd, bytes, size);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        bytes += got;
        size -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace

bool SendFrame(int fd, const std::string& body, bool socket) {
    Writer length;
    length.U32(static_cast<uint32_t>(body.size()));
    // One piece for a small frame: a request and its length in one segment.
    if (body.size() <= 4096) {
        const std::string whole = length.Bytes() + body;
        return SendAll(fd, whole.data(), whole.size(), socket);
    }
    return SendAll(fd, length.Bytes().data(), 4, socket) && SendAll(fd, body.data(), body.size(), socket);
}

bool ReceiveFrame(int fd, std::string& body, int idleMs) {
    char header[4];
    if (!ReceiveAll(fd, header, sizeof header, idleMs)) {
        return false;
    }
    const std::string bytes(header, sizeof header);
    Reader length(bytes);
    const uint32_t size = length.U32();
    if (size > kMaxFrame) {
        return false;
    }
    // The memory grows with the bytes that came, not with what the length claims.
    body.clear();
    for (size_t got = 0; got < size;) {
        const size_t piece = std::min<size_t>(size - got, 1u << 20);
        body.resize(got + piece);
        if (!ReceiveAll(fd, &body[got], piece, idleMs)) {
            return false;
        }
        got += piece;
    }
    return true;
}

}  // namespace wire
}  // namespace posix
