#include "pe_reader.h"

#include <fstream>
#include <iterator>

namespace pe {
namespace {

constexpr uint32_t SIGNATURE_OFFSET_FIELD = 0x3c;
constexpr uint32_t FILE_HEADER_BYTES = 20;
constexpr uint32_t OPTIONAL_HEADER_FIXED_BYTES = 96;  // PE32, before the directories
constexpr uint32_t SECTION_HEADER_BYTES = 40;
constexpr uint32_t IMPORT_DESCRIPTOR_BYTES = 20;
constexpr uint32_t ORDINAL_FLAG = 0x80000000;
// Far more than any real program; stops a table without terminator.
constexpr uint32_t MAX_TABLE_ENTRIES = 4096;
constexpr uint32_t MAX_NAME_BYTES = 256;

// Little-endian reads that fail softly: out of range yields 0 and marks the reader bad,
// so a parsing step checks once at its end.
class Bytes {
public:
    explicit Bytes(const std::vector<uint8_t> &data) : data_(data) {}
    bool InRange(uint64_t offset, uint64_t len) const { return offset + len <= data_.size(); }
    uint8_t U8(uint64_t offset) {
        if (!InRange(offset, 1)) {
            bad_ = true;
            return 0;
        }
        return data_[static_cast<size_t>(offset)];
    }
    uint16_t U16(uint64_t offset) {
        return static_cast<uint16_t>(U8(offset) | U8(offset + 1) << 8);
    }
    uint32_t U32(uint64_t offset) {
        return static_cast<uint32_t>(U16(offset)) | static_cast<uint32_t>(U16(offset + 2)) << 16;
    }
    bool bad() const { return bad_; }

private:
    const std::vector<uint8_t> &data_;
    bool bad_ = false;
};

bool ReadHeaders(Image &image, std::string &error) {
    Bytes in(image.file);
    if (!in.InRange(0, SIGNATURE_OFFSET_FIELD + 4) || in.U16(0) != 0x5a4d) {
        error = "no DOS header";
        return false;
    }
    image.pe_offset = in.U32(SIGNATURE_OFFSET_FIELD);
    const uint64_t pe = image.pe_offset;
    if (!in.InRange(pe, 4 + FILE_HEADER_BYTES) || in.U32(pe) != 0x00004550) {
        error = "no PE signature";
        return false;
    }
    const uint64_t fh = pe + 4;
    image.machine = in.U16(fh);
    image.section_count = in.U16(fh + 2);
    image.time_date_stamp = in.U32(fh + 4);
    image.symbol_table_offset = in.U32(fh + 8);
    image.symbol_count = in.U32(fh + 12);
    image.optional_header_size = in.U16(fh + 16);
    image.characteristics = in.U16(fh + 18);

    const uint64_t oh = fh + FILE_HEADER_BYTES;
    if (image.optional_header_size < OPTIONAL_HEADER_FIXED_BYTES ||
        !in.InRange(oh, image.optional_header_size)) {
        error = "optional header too short or past the end of the file";
        return false;
    }
    image.magic = in.U16(oh);
    if (image.magic != OPTIONAL_MAGIC_PE32) {
        error = "not a PE32 optional header";
        return false;
    }
    image.size_of_code = in.U32(oh + 4);
    image.size_of_initialized_data = in.U32(oh + 8);
    image.size_of_uninitialized_data = in.U32(oh + 12);
    image.entry_rva = in.U32(oh + 16);
    image.base_of_code = in.U32(oh + 20);
    image.base_of_data = in.U32(oh + 24);
    image.image_base = in.U32(oh + 28);
    image.section_alignment = in.U32(oh + 32);
    image.file_alignment = in.U32(oh + 36);
    image.os_version_major = in.U16(oh + 40);
    image.os_version_minor = in.U16(oh + 42);
    image.subsystem_version_major = in.U16(oh + 48);
    image.subsystem_version_minor = in.U16(oh + 50);
    image.size_of_image = in.U32(oh + 56);
    image.size_of_headers = in.U32(oh + 60);
    image.checksum_offset = static_cast<uint32_t>(oh + 64);
    image.checksum = in.U32(oh + 64);
    image.subsystem = in.U16(oh + 68);
    image.dll_characteristics = in.U16(oh + 70);
    const uint32_t directory_count = in.U32(oh + 92);
    if (directory_count > (image.optional_header_size - OPTIONAL_HEADER_FIXED_BYTES) / 8) {
        error = "more data directories than the optional header holds";
        return false;
    }
    for (uint32_t i = 0; i < directory_count; ++i) {
        const uint64_t d = oh + OPTIONAL_HEADER_FIXED_BYTES + 8u * i;
        image.directories.push_back({in.U32(d), in.U32(d + 4)});
    }

    const uint64_t st = oh + image.optional_header_size;
    if (!in.InRange(st, uint64_t{SECTION_HEADER_BYTES} * image.section_count)) {
        error = "section table past the end of the file";
        return false;
    }
    for (uint32_t i = 0; i < image.section_count; ++i) {
        const uint64_t s = st + uint64_t{SECTION_HEADER_BYTES} * i;
        Section section;
        for (uint32_t c = 0; c < 8 && in.U8(s + c) != 0; ++c) section.name += static_cast<char>(in.U8(s + c));
        section.virtual_size = in.U32(s + 8);
        section.virtual_address = in.U32(s + 12);
        section.raw_size = in.U32(s + 16);
        section.raw_offset = in.U32(s + 20);
        section.relocations_offset = in.U32(s + 24);
        section.line_numbers_offset = in.U32(s + 28);
        section.relocation_count = in.U16(s + 32);
        section.line_number_count = in.U16(s + 34);
        section.characteristics = in.U32(s + 36);
        if (!in.InRange(section.raw_offset, section.raw_size)) {
            error = "raw data of section " + section.name + " past the end of the file";
            return false;
        }
        image.sections.push_back(section);
    }
    image.section_table_end = static_cast<uint32_t>(st + uint64_t{SECTION_HEADER_BYTES} * image.section_count);
    return !in.bad();
}

bool ReadString(const Image &image, uint32_t rva, std::string &out) {
    out.clear();
    for (uint32_t i = 0; i < MAX_NAME_BYTES; ++i) {
        const auto offset = image.FileOffsetOf(rva + i, 1);
        if (!offset) return false;
        const uint8_t c = image.file[*offset];
        if (c == 0) return true;
        out += static_cast<char>(c);
    }
    return false;
}

bool ReadImports(Image &image, std::string &error) {
    if (image.directories.size() <= DIR_IMPORT) return true;
    const DataDirectory dir = image.directories[DIR_IMPORT];
    if (dir.rva == 0 && dir.size == 0) return true;
    Bytes in(image.file);
    for (uint32_t d = 0;; ++d) {
        const auto desc = image.FileOffsetOf(dir.rva + d * IMPORT_DESCRIPTOR_BYTES, IMPORT_DESCRIPTOR_BYTES);
        if (!desc || d >= MAX_TABLE_ENTRIES) {
            error = "import directory without terminator";
            return false;
        }
        const uint32_t lookup_rva = in.U32(*desc);
        const uint32_t name_rva = in.U32(*desc + 12);
        const uint32_t address_rva = in.U32(*desc + 16);
        bool all_zero = true;
        for (uint32_t w = 0; w < IMPORT_DESCRIPTOR_BYTES; w += 4) all_zero = all_zero && in.U32(*desc + w) == 0;
        if (all_zero) return true;

        std::string dll;
        if (!ReadString(image, name_rva, dll)) {
            error = "import descriptor names no readable DLL";
            return false;
        }
        // Without a lookup table the address table holds the requests itself.
        const uint32_t table_rva = lookup_rva != 0 ? lookup_rva : address_rva;
        for (uint32_t i = 0;; ++i) {
            const auto lookup = image.FileOffsetOf(table_rva + 4 * i, 4);
            const auto address = image.FileOffsetOf(address_rva + 4 * i, 4);
            if (!lookup || !address || i >= MAX_TABLE_ENTRIES) {
                error = "import table of " + dll + " without terminator";
                return false;
            }
            Import import;
            import.dll = dll;
            import.lookup_entry = in.U32(*lookup);
            import.address_entry = in.U32(*address);
            import.slot_rva = address_rva + 4 * i;
            if (import.lookup_entry == 0) break;
            import.by_ordinal = (import.lookup_entry & ORDINAL_FLAG) != 0;
            if (import.by_ordinal) {
                import.ordinal = static_cast<uint16_t>(import.lookup_entry & 0xffff);
            } else if (!ReadString(image, import.lookup_entry + 2, import.name)) {
                error = "unreadable import name in " + dll;
                return false;
            }
            image.imports.push_back(import);
        }
    }
}

}  // namespace

const Section *Image::SectionAt(uint32_t rva) const {
    for (const Section &s : sections) {
        const uint32_t span = s.virtual_size != 0 ? s.virtual_size : s.raw_size;
        if (rva >= s.virtual_address && rva - s.virtual_address < span) return &s;
    }
    return nullptr;
}

std::optional<uint32_t> Image::FileOffsetOf(uint32_t rva, uint32_t len) const {
    uint64_t offset = 0;
    if (uint64_t{rva} + len <= size_of_headers) {
        offset = rva;
    } else {
        const Section *s = SectionAt(rva);
        if (!s || uint64_t{rva} - s->virtual_address + len > s->raw_size) return std::nullopt;
        offset = uint64_t{s->raw_offset} + (rva - s->virtual_address);
    }
    if (offset + len > file.size()) return std::nullopt;
    return static_cast<uint32_t>(offset);
}

std::optional<Image> ReadImage(std::vector<uint8_t> file, std::string &error) {
    Image image;
    image.file = std::move(file);
    if (!ReadHeaders(image, error) || !ReadImports(image, error)) return std::nullopt;
    return image;
}

uint32_t ComputeChecksum(const std::vector<uint8_t> &file, uint32_t checksum_offset) {
    const auto byte = [&](size_t i) -> uint32_t {
        const bool in_field = i >= checksum_offset && i < uint64_t{checksum_offset} + 4;
        return i < file.size() && !in_field ? file[i] : 0;
    };
    uint64_t sum = 0;
    for (size_t i = 0; i < file.size(); i += 2) {
        sum += byte(i) | byte(i + 1) << 8;
        sum = (sum & 0xffff) + (sum >> 16);
    }
    sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint32_t>(sum + file.size());
}

std::optional<Image> ReadImageFile(const std::string &path, std::string &error) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof()) {
        error = "cannot read " + path;
        return std::nullopt;
    }
    auto image = ReadImage(std::move(bytes), error);
    if (!image) error = path + ": " + error;
    return image;
}

}  // namespace pe
