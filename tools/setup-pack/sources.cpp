// Finds and probes a manifest's source files, and compares them in bounded chunks.
#include "sources.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Whether two sources hold the same bytes, streamed in bounded chunks.
bool SameContent(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
        sa.st_ino == sb.st_ino)
        return true;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), ba.size());
        fb.read(bb.data(), bb.size());
        if (fa.gcount() != fb.gcount() || std::memcmp(ba.data(), bb.data(), fa.gcount()) != 0)
            return false;
    }
    return !fa.bad() && !fb.bad() && fa.eof() && fb.eof();
}

size_t HeadHash(const PackageFile& file)
{
    std::ifstream in(file.source, std::ios::binary);
    std::string block(4096, '\0');
    in.read(&block[0], static_cast<std::streamsize>(block.size()));
    block.resize(static_cast<size_t>(in.gcount()));
    return std::hash<std::string>()(block);
}

}  // namespace

std::string Resolve(const std::string& source, const std::string& base, const std::vector<std::string>& search)
{
    if (!source.empty() && source[0] == '/')
        return source;
    std::vector<std::string> dirs{base};
    dirs.insert(dirs.end(), search.begin(), search.end());
    for (const std::string& dir : dirs) {
        std::string path = dir + "/" + source;
        if (::access(path.c_str(), F_OK) == 0)
            return path;
    }
    return base + "/" + source;
}

bool ReadChunks(int fd, const std::string& name, uint64_t size, std::vector<uint8_t>* buffer, const TakeChunk& take,
                std::string* error)
{
    uint64_t left = size;
    while (true) {
        // Once the size is read, one byte more: a file that grew is caught as one that shrank is.
        ssize_t n = ::pread(fd, buffer->data(), left > 0 ? std::min<uint64_t>(left, buffer->size()) : 1,
                            static_cast<off_t>(size - left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *error = name + ": " + std::strerror(errno);
            return false;
        }
        if (left == 0 || n == 0) {
            if (n != 0 || left != 0) {
                *error = name + " changed while it was being packaged; build again";
                return false;
            }
            return true;
        }
        if (!take(buffer->data(), static_cast<size_t>(n)))
            return false;
        left -= static_cast<uint64_t>(n);
    }
}

std::string WriteAll(int fd, const uint8_t* data, size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::strerror(n < 0 ? errno : ENOSPC);
        data += n;
        size -= static_cast<size_t>(n);
    }
    return "";
}

bool ReadSourceChunks(const std::string& path, uint64_t size, std::vector<uint8_t>* buffer, const TakeChunk& take,
                      std::string* error)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    bool ok = ReadChunks(fd, path, size, buffer, take, error);
    ::close(fd);
    return ok;
}

bool ProbeSource(const std::string& path, uint64_t* size, std::string* problem)
{
    // Non-blocking: a FIFO or a terminal named as a source must be refused, not waited on.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        *problem = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    ::close(fd);
    if (!S_ISREG(st.st_mode)) {
        *problem = "not a regular file";
        return false;
    }
    *size = static_cast<uint64_t>(st.st_size);
    return true;
}

size_t SameBytes::Find(const std::vector<PackageFile>& files, size_t i)
{
    uint64_t size = files[i].size;
    auto first = alone_.emplace(size, i);
    if (first.second)
        return i;  // the first of its size: nothing to compare, nothing read
    if (first.first->second != kSeen) {
        size_t earlier = first.first->second;
        byHead_[{size, HeadHash(files[earlier])}].push_back(earlier);
        first.first->second = kSeen;
    }
    std::vector<size_t>& alike = byHead_[{size, HeadHash(files[i])}];
    for (size_t earlier : alike) {
        if (SameContent(files[earlier].source, files[i].source))
            return earlier;
    }
    alike.push_back(i);
    return i;
}
