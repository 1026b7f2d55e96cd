#include "install/program_file.h"

#include <cstdio>

namespace {

// The PE/COFF layout, as offsets of the fields we read.
constexpr std::uint64_t kDosHeaderBytes = 64;
constexpr std::uint64_t kNewHeaderOffsetField = 0x3C;
constexpr std::uint64_t kSignatureAndFileHeaderBytes = 24;
constexpr std::uint64_t kSectionCountField = 6;
constexpr std::uint64_t kOptionalHeaderSizeField = 20;
constexpr std::uint64_t kSectionHeaderBytes = 40;
constexpr std::uint64_t kSectionRawSizeField = 16;
constexpr std::uint64_t kSectionRawPointerField = 20;
constexpr std::uint64_t kSizeOfHeadersField = 60;
constexpr std::uint16_t kPe32Magic = 0x10B;
constexpr std::uint16_t kPe32PlusMagic = 0x20B;
// Where the data-directory count sits, and the directories begin, in PE32
// and PE32+ optional headers; also their least sizes.
constexpr std::uint64_t kPe32DirectoryCountField = 92;
constexpr std::uint64_t kPe32PlusDirectoryCountField = 108;
constexpr std::uint64_t kDirectoryBytes = 8;
constexpr std::uint32_t kCertificateDirectory = 4;
constexpr std::size_t kSectionNameBytes = 8;

std::uint32_t LittleEndian(const unsigned char* bytes, std::size_t size) {
    std::uint32_t value = 0;
    for (std::size_t i = size; i-- > 0;) value = value << 8 | bytes[i];
    return value;
}

// A printable section name: the bytes up to the first NUL, others as '?'.
std::string SectionName(const unsigned char* bytes) {
    std::string name;
    for (std::size_t i = 0; i < kSectionNameBytes && bytes[i] != 0; ++i)
        name += bytes[i] >= 0x20 && bytes[i] < 0x7F ? static_cast<char>(bytes[i]) : '?';
    return name;
}

// "section .text ends at 7,168 of 5,000 bytes"
std::string EndsAt(const std::string& whatEnds, std::uint64_t end, std::uint64_t fileSize) {
    return whatEnds + " at " + GroupedDigits(end) + " of " + GroupedDigits(fileSize) + " bytes";
}

}  // namespace

std::string GroupedDigits(std::uint64_t number) {
    std::string digits = std::to_string(number);
    for (std::size_t at = digits.size(); at > 3;) digits.insert(at -= 3, 1, ',');
    return digits;
}

ProgramFile JudgeProgramFile(std::uint64_t fileSize, const ReadFileAt& readAt, std::string& reason) {
    unsigned char dos[kDosHeaderBytes];
    const auto read = [&](std::uint64_t offset, void* bytes, std::size_t size) {
        if (readAt(offset, bytes, size)) return true;
        reason = "could not be read at offset " + GroupedDigits(offset);
        return false;
    };
    const auto incomplete = [&](const std::string& whatEnds, std::uint64_t end) {
        reason = EndsAt(whatEnds, end, fileSize);
        return ProgramFile::Incomplete;
    };
    const auto notAProgram = [&](std::string why) {
        reason = std::move(why);
        return ProgramFile::NotAProgram;
    };

    if (fileSize >= 2 && !read(0, dos, 2)) return ProgramFile::Unreadable;
    if (fileSize < 2 || dos[0] != 'M' || dos[1] != 'Z') return notAProgram("it does not begin with \"MZ\"");
    if (fileSize < kDosHeaderBytes) return incomplete("headers end", kDosHeaderBytes);
    if (!read(0, dos, sizeof dos)) return ProgramFile::Unreadable;

    const std::uint64_t peHeader = LittleEndian(dos + kNewHeaderOffsetField, 4);
    const std::uint64_t optionalHeader = peHeader + kSignatureAndFileHeaderBytes;
    if (optionalHeader > fileSize) return incomplete("headers end", optionalHeader);
    unsigned char fileHeader[kSignatureAndFileHeaderBytes];
    if (!read(peHeader, fileHeader, sizeof fileHeader)) return ProgramFile::Unreadable;
    if (LittleEndian(fileHeader, 4) != 0x00004550)  // "PE\0\0"
        return notAProgram("no PE signature at offset " + GroupedDigits(peHeader));

    const std::uint64_t sectionCount = LittleEndian(fileHeader + kSectionCountField, 2);
    const std::uint64_t optionalSize = LittleEndian(fileHeader + kOptionalHeaderSizeField, 2);
    const std::uint64_t sectionTable = optionalHeader + optionalSize;
    const std::uint64_t tableEnd = sectionTable + sectionCount * kSectionHeaderBytes;
    if (tableEnd > fileSize) return incomplete("headers end", tableEnd);
    std::string headers(tableEnd - optionalHeader, '\0');
    if (!read(optionalHeader, headers.data(), headers.size())) return ProgramFile::Unreadable;
    const auto* optional = reinterpret_cast<const unsigned char*>(headers.data());

    const std::uint32_t magic = optionalSize >= 2 ? LittleEndian(optional, 2) : 0;
    if (magic != kPe32Magic && magic != kPe32PlusMagic) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%04x", static_cast<unsigned>(magic));
        return notAProgram(std::string("unknown optional header magic ") + hex);
    }
    const std::uint64_t countField = magic == kPe32Magic ? kPe32DirectoryCountField : kPe32PlusDirectoryCountField;
    if (optionalSize < countField + 4) return notAProgram("optional header too small");
    const std::uint64_t sizeOfHeaders = LittleEndian(optional + kSizeOfHeadersField, 4);
    if (sizeOfHeaders > fileSize) return incomplete("headers end", sizeOfHeaders);

    for (std::uint64_t i = 0; i < sectionCount; ++i) {
        const unsigned char* section = optional + optionalSize + i * kSectionHeaderBytes;
        const std::uint64_t rawSize = LittleEndian(section + kSectionRawSizeField, 4);
        const std::uint64_t end = LittleEndian(section + kSectionRawPointerField, 4) + rawSize;
        if (rawSize > 0 && end > fileSize) return incomplete("section " + SectionName(section) + " ends", end);
    }

    const std::uint64_t directories = countField + 4;
    const std::uint64_t certificateEntry = directories + kCertificateDirectory * kDirectoryBytes;
    if (LittleEndian(optional + countField, 4) > kCertificateDirectory &&
        certificateEntry + kDirectoryBytes <= optionalSize) {
        // Its address is a file offset, not a virtual one.
        const std::uint64_t offset = LittleEndian(optional + certificateEntry, 4);
        const std::uint64_t size = LittleEndian(optional + certificateEntry + 4, 4);
        if (size > 0 && offset + size > fileSize) return incomplete("certificate table ends", offset + size);
    }
    return ProgramFile::Whole;
}
