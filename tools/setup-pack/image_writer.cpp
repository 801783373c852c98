// Section layout of the new image, the streamed write with its running checksum, and the atomic rename.
#include "image_writer.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bytes.h"
#include "sources.h"

namespace {

const size_t kStaging = 64 << 10;       // small writes are gathered up to this
const uint32_t kScnCode = 0x20, kScnInitializedData = 0x40;

struct PlannedSection {
    PeSection header;
    uint64_t keep = 0;  // bytes of the stub's raw data carried over (not for the resource section)
};

struct Plan {
    std::vector<PlannedSection> sections;
    ResourceLayout resources;
    uint64_t headerBytes = 0, sizeOfHeaders = 0, sizeOfImage = 0;
    uint32_t sizeOfCode = 0, sizeOfInitializedData = 0;
    uint32_t relocRva = 0;
};

// The stub keeps every section's address except those after its resources. A stub linked
// with relocations has .reloc there: relocations name pages of code and data, which do not
// move, so .reloc itself can move behind the grown resources and stay valid; the stub then
// keeps the address-space randomisation its linker chose. Any other section after the
// resources could be referred to by address from the code, so such a stub is refused.
bool CheckSectionsAfterResources(const PeImage& image, std::string* error)
{
    for (size_t i = 1; i < image.sections.size(); ++i) {
        if (image.sections[i].virtualAddress <= image.sections[i - 1].virtualAddress) {
            *error = "the stub's sections are not in address order";
            return false;
        }
    }
    for (size_t i = image.resourceSection + 1; i < image.sections.size(); ++i) {
        const PeSection& s = image.sections[i];
        bool reloc = image.dirCount > kDirBaseReloc && image.dirSize[kDirBaseReloc] != 0 &&
                     image.dirRva[kDirBaseReloc] == s.virtualAddress && s.name == ".reloc";
        if (!reloc) {
            *error = "the stub has section " + s.name + " after its resources; only .reloc may follow them";
            return false;
        }
    }
    return true;
}

// What a stub must be for a package to be put into it.
bool CheckStub(const PeImage& image, uint32_t fileAlignment, std::string* error)
{
    if (image.machine != 0x14C) {
        *error = "the stub is not an i386 image";
        return false;
    }
    if (image.sectionAlignment < kPageAlignment || (image.sectionAlignment & (image.sectionAlignment - 1)) ||
        image.sectionAlignment < fileAlignment) {
        *error = "the stub's section alignment " + std::to_string(image.sectionAlignment) +
                 " is not a power of two of at least 4096";
        return false;
    }
    int rsrc = image.resourceSection;
    if (rsrc < 0 || image.sections[rsrc].virtualAddress != image.dirRva[kDirResource]) {
        *error = "the stub has no section of its own for resources";
        return false;
    }
    for (int dir : {kDirDebug, kDirBoundImport}) {
        if (static_cast<uint32_t>(dir) < image.dirCount && image.dirSize[dir] != 0) {
            *error = "the stub carries debug or bound-import data that refers to file offsets; link it stripped (-s)";
            return false;
        }
    }
    return CheckSectionsAfterResources(image, error);
}

// One section in the new image: raw data at fileAt, and for those after the resources, the
// next free address.
PlannedSection PlaceSection(const PeImage& image, size_t i, uint32_t fileAlignment, uint64_t fileAt, uint64_t nextRva,
                            Plan* plan)
{
    PlannedSection p{image.sections[i], 0};
    PeSection& h = p.header;
    int rsrc = image.resourceSection;
    if (static_cast<int>(i) == rsrc) {
        h.virtualSize = static_cast<uint32_t>(plan->resources.size);
        h.rawSize = static_cast<uint32_t>(AlignUp(plan->resources.size, fileAlignment));
    } else {
        // Raw bytes past the virtual size are only the linker's padding.
        p.keep = h.virtualSize != 0 ? std::min(h.rawSize, h.virtualSize) : h.rawSize;
        h.rawSize = static_cast<uint32_t>(AlignUp(p.keep, fileAlignment));
    }
    if (static_cast<int>(i) > rsrc) {
        if (h.virtualAddress == image.dirRva[kDirBaseReloc])
            plan->relocRva = static_cast<uint32_t>(nextRva);
        h.virtualAddress = static_cast<uint32_t>(nextRva);
    }
    h.rawPointer = h.rawSize != 0 ? static_cast<uint32_t>(fileAt) : 0;
    return p;
}

bool PlaceSections(const PeImage& image, uint32_t fileAlignment, Plan* plan, std::string* error)
{
    plan->headerBytes = image.sectionTableOffset + 40ull * image.sections.size();
    plan->sizeOfHeaders = AlignUp(plan->headerBytes, fileAlignment);
    if (plan->sizeOfHeaders > image.sections[0].virtualAddress) {
        *error = "the stub's headers do not fit before its first section at this alignment";
        return false;
    }
    uint64_t fileAt = plan->sizeOfHeaders, nextRva = 0;
    for (size_t i = 0; i < image.sections.size(); ++i) {
        PlannedSection p = PlaceSection(image, i, fileAlignment, fileAt, nextRva, plan);
        const PeSection& h = p.header;
        fileAt += h.rawSize;
        uint64_t span = h.virtualSize != 0 ? h.virtualSize : h.rawSize;
        nextRva = AlignUp(h.virtualAddress + span, image.sectionAlignment);
        if (h.characteristics & kScnCode)
            plan->sizeOfCode += h.rawSize;
        if (h.characteristics & kScnInitializedData)
            plan->sizeOfInitializedData += h.rawSize;
        plan->sections.push_back(p);
    }
    plan->sizeOfImage = nextRva;
    if (plan->sizeOfImage > kMaxImageBytes) {
        *error = "the setup image would be " + std::to_string(plan->sizeOfImage >> 20) +
                 " MiB; a 32-bit setup can count on loading at most " + std::to_string(kMaxImageBytes >> 20) +
                 " MiB. Leave large files out or split the product into more than one setup";
        return false;
    }
    return true;
}

bool MakePlan(const PeImage& image, const std::vector<ResourceItem>& items, uint32_t fileAlignment, Plan* plan,
              std::string* error)
{
    return CheckStub(image, fileAlignment, error) &&
           LayoutResources(items, image.sections[image.resourceSection].virtualAddress, &plan->resources, error) &&
           PlaceSections(image, fileAlignment, plan, error);
}

// The temporary file, known to the signal handler so that an interrupted build leaves nothing.
char g_partial[4096];

void RemovePartial(int signal)
{
    if (g_partial[0] != '\0')
        unlink(g_partial);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// Writes to a file, or into memory when given a vector.
class Output {
public:
    explicit Output(int fd, std::vector<uint8_t>* memory = nullptr) : fd_(fd), memory_(memory)
    {
        staging_.reserve(kStaging);
    }

    bool Write(const uint8_t* data, size_t size)
    {
        checksum_.Add(data, size);
        written_ += size;
        if (staging_.size() + size <= kStaging) {
            staging_.insert(staging_.end(), data, data + size);
            return true;
        }
        return Flush() && Raw(data, size);
    }

    bool Zeros(uint64_t count)
    {
        static const uint8_t zeros[4096] = {};
        while (count > 0) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(count, sizeof zeros));
            if (!Write(zeros, n))
                return false;
            count -= n;
        }
        return true;
    }

    bool Flush()
    {
        bool ok = Raw(staging_.data(), staging_.size());
        staging_.clear();
        return ok;
    }

    uint64_t written() const { return written_; }
    const PeChecksum& checksum() const { return checksum_; }
    std::string failure;

private:
    bool Raw(const uint8_t* data, size_t size)
    {
        if (memory_)
            memory_->insert(memory_->end(), data, data + size);
        else
            failure = WriteAll(fd_, data, size);
        return failure.empty();
    }

    int fd_;
    std::vector<uint8_t>* memory_;
    uint64_t written_ = 0;
    PeChecksum checksum_;
    std::vector<uint8_t> staging_;
};

// Streams one item's data from its file, summing its CRC-32C.
bool CopyFileInto(Output* out, const ResourceData& data, std::vector<uint8_t>* buffer, uint32_t* crc,
                  std::string* error)
{
    TakeChunk write = [&](const uint8_t* bytes, size_t size) {
        *crc = Crc32c(*crc, bytes, size);
        return out->Write(bytes, size) || (*error = "writing the setup: " + out->failure, false);
    };
    if (data.path.empty())
        return ReadChunks(data.fd, "the LZMA block", data.size, buffer, write, error);
    return ReadSourceChunks(data.path, data.size, buffer, write, error);
}

// A stored package's index, from the CRC-32C of every item's data as it was written.
bool FillIndex(const std::vector<ResourceItem>& items, size_t k, const std::vector<uint32_t>& crcs,
               std::vector<uint8_t>* index, std::string* error)
{
    *index = items[k].data.bytes;
    const std::vector<int>& checks = items[k].checks;
    for (size_t i = 0; i < checks.size(); ++i) {
        size_t c = static_cast<size_t>(checks[i]);
        if (c >= k || items[c].dataOf >= 0 || index->size() < 12 + 8 * i || items[c].data.size > 0xFFFFFFFF) {
            *error = "the payload index does not come after the files it checks, or has no room for them";
            return false;
        }
        Put32(index->data() + 4 + 8 * i, static_cast<uint32_t>(items[c].data.size));
        Put32(index->data() + 8 + 8 * i, crcs[c]);
    }
    return true;
}

// The stub's headers with the new layout's fields and section table; checksum zero for now.
std::vector<uint8_t> NewHeaders(ByteSpan stub, const PeImage& image, const Plan& plan, uint32_t fileAlignment)
{
    std::vector<uint8_t> headers(stub.data, stub.data + plan.headerBytes);
    uint8_t* opt = headers.data() + image.optionalOffset;
    Put32(opt + kOptSizeOfCode, plan.sizeOfCode);
    Put32(opt + kOptSizeOfInitializedData, plan.sizeOfInitializedData);
    Put32(opt + kOptFileAlignment, fileAlignment);
    Put32(opt + kOptSizeOfImage, static_cast<uint32_t>(plan.sizeOfImage));
    Put32(opt + kOptSizeOfHeaders, static_cast<uint32_t>(plan.sizeOfHeaders));
    Put32(opt + kOptCheckSum, 0);
    const PeSection& rsrc = plan.sections[image.resourceSection].header;
    Put32(opt + kOptDataDirectories + 8 * kDirResource, rsrc.virtualAddress);
    Put32(opt + kOptDataDirectories + 8 * kDirResource + 4, rsrc.virtualSize);
    if (plan.relocRva != 0)
        Put32(opt + kOptDataDirectories + 8 * kDirBaseReloc, plan.relocRva);
    // A signed stub's certificate table lies past its sections and is not copied: the new image
    // is unsigned until it is signed itself.
    if (image.dirCount > kDirSecurity) {
        Put32(opt + kOptDataDirectories + 8 * kDirSecurity, 0);
        Put32(opt + kOptDataDirectories + 8 * kDirSecurity + 4, 0);
    }
    for (size_t i = 0; i < plan.sections.size(); ++i) {
        uint8_t* h = headers.data() + image.sectionTableOffset + 40 * i;
        const PeSection& s = plan.sections[i].header;
        Put32(h + 8, s.virtualSize);
        Put32(h + 12, s.virtualAddress);
        Put32(h + 16, s.rawSize);
        Put32(h + 20, s.rawPointer);
    }
    return headers;
}

bool PadTo(Output* out, uint64_t offset)
{
    return offset >= out->written() && out->Zeros(offset - out->written());
}

bool WriteFailed(const Output& out, std::string* error)
{
    *error = "writing the setup: " + out.failure;
    return false;
}

// The directory, then each item's data at its offset; a payload file that cannot be copied says why itself.
bool WriteResources(Output* out, const std::vector<ResourceItem>& items, const Plan& plan, std::string* error)
{
    std::vector<uint8_t> buffer(kChunk), index;
    std::vector<uint32_t> crcs(items.size(), 0);
    uint64_t start = out->written();
    if (!out->Write(plan.resources.head.data(), plan.resources.head.size()))
        return WriteFailed(*out, error);
    for (size_t k = 0; k < items.size(); ++k) {
        const ResourceData& data = items[k].data;
        if (items[k].dataOf >= 0)
            continue;  // its bytes are its owner's
        if (!PadTo(out, start + plan.resources.dataOffset[k]))
            return WriteFailed(*out, error);
        if (!data.path.empty() || data.fd >= 0) {
            if (!CopyFileInto(out, data, &buffer, &crcs[k], error))
                return false;
            continue;
        }
        if (!items[k].checks.empty() && !FillIndex(items, k, crcs, &index, error))
            return false;
        const std::vector<uint8_t>& bytes = items[k].checks.empty() ? data.bytes : index;
        crcs[k] = Crc32c(0, bytes.data(), bytes.size());
        if (!out->Write(bytes.data(), bytes.size()))
            return WriteFailed(*out, error);
    }
    return true;
}

bool WriteSections(Output* out, ByteSpan stub, const PeImage& image, const std::vector<ResourceItem>& items,
                   const Plan& plan, std::string* error)
{
    for (size_t i = 0; i < plan.sections.size(); ++i) {
        const PlannedSection& p = plan.sections[i];
        if (p.header.rawSize == 0)
            continue;  // uninitialised data has nothing in the file
        if (static_cast<int>(i) == image.resourceSection) {
            if (!WriteResources(out, items, plan, error))
                return false;
        } else if (!out->Write(stub.data + image.sections[i].rawPointer, p.keep)) {
            return WriteFailed(*out, error);
        }
        if (!PadTo(out, p.header.rawPointer + p.header.rawSize))
            return WriteFailed(*out, error);
    }
    return true;
}

// The whole image but its checksum, which the caller puts in once the last byte is summed.
bool WriteAll(ByteSpan stub, const PeImage& image, const std::vector<ResourceItem>& items, const Plan& plan,
              uint32_t fileAlignment, Output* out, ImageResult* result, std::string* error)
{
    std::vector<uint8_t> headers = NewHeaders(stub, image, plan, fileAlignment);
    if (!out->Write(headers.data(), headers.size()) || !PadTo(out, plan.sizeOfHeaders))
        return WriteFailed(*out, error);
    if (!WriteSections(out, stub, image, items, plan, error))
        return false;
    if (!out->Flush())
        return WriteFailed(*out, error);
    result->fileSize = out->written();
    result->sizeOfImage = static_cast<uint32_t>(plan.sizeOfImage);
    result->checkSum = out->checksum().Finish(out->written());
    return true;
}

bool WriteToFile(ByteSpan stub, const PeImage& image, const std::vector<ResourceItem>& items, const Plan& plan,
                 uint32_t fileAlignment, int fd, ImageResult* result, std::string* error)
{
    Output out(fd);
    if (!WriteAll(stub, image, items, plan, fileAlignment, &out, result, error))
        return false;
    uint8_t sum[4];
    Put32(sum, result->checkSum);
    if (::pwrite(fd, sum, 4, image.optionalOffset + kOptCheckSum) != 4 || ::fsync(fd) != 0) {
        *error = std::string("writing the setup: ") + std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace

// 2^16 leaves the same remainder as 1 modulo 0xFFFF, so summing 32-bit little-endian words
// whole and folding at the end gives the same 16-bit end-around-carry sum, several times faster.
// A 64-bit total cannot overflow below 16 GiB of input.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the checksum reads words in host order");

void PeChecksum::Add(const uint8_t* data, size_t size)
{
    if (odd_ && size > 0) {
        sum_ += pending_ | data[0] << 8;
        ++data;
        --size;
        odd_ = false;
    }
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 4 <= size; i += 4) {
        uint32_t word;
        std::memcpy(&word, data + i, 4);
        sum += word;
    }
    if (i + 2 <= size) {
        sum += static_cast<uint32_t>(data[i] | data[i + 1] << 8);
        i += 2;
    }
    sum_ += sum;
    if (i < size) {
        pending_ = data[i];
        odd_ = true;
    }
}

uint32_t PeChecksum::Finish(uint64_t fileSize) const
{
    uint64_t sum = sum_ + (odd_ ? pending_ : 0);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + fileSize);
}

bool WriteImage(ByteSpan stub, const PeImage& image, const std::vector<ResourceItem>& items,
                uint32_t fileAlignment, const std::string& outPath, ImageResult* result, std::string* error)
{
    Plan plan;
    if (!MakePlan(image, items, fileAlignment, &plan, error))
        return false;
    std::string partial = outPath + ".partial-XXXXXX";
    if (partial.size() >= sizeof g_partial) {
        *error = outPath + ": path too long";
        return false;
    }
    int fd = ::mkstemp(&partial[0]);
    if (fd < 0) {
        *error = "cannot create a file beside " + outPath + ": " + std::strerror(errno);
        return false;
    }
    std::memcpy(g_partial, partial.c_str(), partial.size() + 1);
    auto previousInt = std::signal(SIGINT, RemovePartial);
    auto previousTerm = std::signal(SIGTERM, RemovePartial);
    auto previousHup = std::signal(SIGHUP, RemovePartial);
    mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0777 & ~mask) == 0 || (*error = std::strerror(errno), false);
    ok = ok && WriteToFile(stub, image, items, plan, fileAlignment, fd, result, error);
    if (::close(fd) != 0 && ok) {
        *error = std::string("writing the setup: ") + std::strerror(errno);
        ok = false;
    }
    if (ok && ::rename(partial.c_str(), outPath.c_str()) != 0) {
        *error = "cannot put the setup in place at " + outPath + ": " + std::strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(partial.c_str());
    g_partial[0] = '\0';
    std::signal(SIGINT, previousInt);
    std::signal(SIGTERM, previousTerm);
    std::signal(SIGHUP, previousHup);
    return ok;
}

bool WriteImageBytes(ByteSpan stub, const PeImage& image, const std::vector<ResourceItem>& items,
                     uint32_t fileAlignment, std::vector<uint8_t>* bytes, std::string* error)
{
    Plan plan;
    ImageResult result;
    bytes->clear();
    Output out(-1, bytes);
    if (!MakePlan(image, items, fileAlignment, &plan, error) ||
        !WriteAll(stub, image, items, plan, fileAlignment, &out, &result, error))
        return false;
    Put32(bytes->data() + image.optionalOffset + kOptCheckSum, result.checkSum);
    return true;
}
