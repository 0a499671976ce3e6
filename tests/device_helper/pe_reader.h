// A small reader of 32-bit PE images, enough to check Nalvex.exe and to load it into
// an emulator. It trusts nothing: every offset is checked against the file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pe {

constexpr uint16_t MACHINE_ARM = 0x01c0;
constexpr uint16_t FILE_RELOCS_STRIPPED = 0x0001;
constexpr uint16_t FILE_EXECUTABLE_IMAGE = 0x0002;
constexpr uint16_t FILE_32BIT_MACHINE = 0x0100;
constexpr uint16_t FILE_DLL = 0x2000;
constexpr uint16_t OPTIONAL_MAGIC_PE32 = 0x010b;
constexpr uint16_t SUBSYSTEM_WINDOWS_CE_GUI = 9;
constexpr uint32_t SCN_CNT_CODE = 0x00000020;
constexpr uint32_t SCN_CNT_INITIALIZED_DATA = 0x00000040;
constexpr uint32_t SCN_CNT_UNINITIALIZED_DATA = 0x00000080;
constexpr uint32_t SCN_MEM_EXECUTE = 0x20000000;
constexpr uint32_t SCN_MEM_READ = 0x40000000;
constexpr uint32_t SCN_MEM_WRITE = 0x80000000;

// Indexes into the data directories, and how many a PE32 image normally has.
constexpr size_t DIR_IMPORT = 1;
constexpr size_t DIR_IAT = 12;
constexpr size_t DIR_COUNT = 16;

struct DataDirectory {
    uint32_t rva = 0;
    uint32_t size = 0;
};

struct Section {
    std::string name;
    uint32_t virtual_size = 0;
    uint32_t virtual_address = 0;
    uint32_t raw_size = 0;
    uint32_t raw_offset = 0;
    uint32_t relocations_offset = 0;
    uint32_t line_numbers_offset = 0;
    uint16_t relocation_count = 0;
    uint16_t line_number_count = 0;
    uint32_t characteristics = 0;
};

// One imported function: the lookup table's request and the address table's slot.
struct Import {
    std::string dll;
    bool by_ordinal = false;
    uint16_t ordinal = 0;  // when by_ordinal
    std::string name;      // otherwise
    uint32_t lookup_entry = 0;
    uint32_t address_entry = 0;
    uint32_t slot_rva = 0;
};

struct Image {
    std::vector<uint8_t> file;
    uint32_t pe_offset = 0;

    uint16_t machine = 0;
    uint16_t section_count = 0;
    uint32_t time_date_stamp = 0;
    uint32_t symbol_table_offset = 0;
    uint32_t symbol_count = 0;
    uint16_t optional_header_size = 0;
    uint16_t characteristics = 0;

    uint16_t magic = 0;
    uint32_t size_of_code = 0;
    uint32_t size_of_initialized_data = 0;
    uint32_t size_of_uninitialized_data = 0;
    uint32_t entry_rva = 0;
    uint32_t base_of_code = 0;
    uint32_t base_of_data = 0;
    uint32_t image_base = 0;
    uint32_t section_alignment = 0;
    uint32_t file_alignment = 0;
    uint16_t os_version_major = 0, os_version_minor = 0;
    uint16_t subsystem_version_major = 0, subsystem_version_minor = 0;
    uint32_t size_of_image = 0;
    uint32_t size_of_headers = 0;
    uint32_t checksum = 0;
    uint32_t checksum_offset = 0;  // file offset of the checksum field
    uint16_t subsystem = 0;
    uint16_t dll_characteristics = 0;
    std::vector<DataDirectory> directories;
    uint32_t section_table_end = 0;  // file offset just past the section table

    std::vector<Section> sections;
    std::vector<Import> imports;

    // The section whose virtual range holds rva, or null.
    const Section *SectionAt(uint32_t rva) const;
    // File offset of len bytes at rva when they all lie in the file's data.
    std::optional<uint32_t> FileOffsetOf(uint32_t rva, uint32_t len) const;
};

// Parses a PE32 image. On a malformed file returns nothing and says why in error.
std::optional<Image> ReadImage(std::vector<uint8_t> file, std::string &error);

// The loader's image checksum of file, with the checksum field taken as zero.
uint32_t ComputeChecksum(const std::vector<uint8_t> &file, uint32_t checksum_offset);

// Reads and parses the file at path; on failure returns nothing and says why in error.
std::optional<Image> ReadImageFile(const std::string &path, std::string &error);

}  // namespace pe
