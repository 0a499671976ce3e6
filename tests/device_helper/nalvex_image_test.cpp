// The properties of Nalvex.exe that the Windows CE loader and ORVANE rely on, read
// from the built file with our own PE reader.
#include <gtest/gtest.h>

#include "pe_reader.h"

namespace {

constexpr uint16_t KERNEL_IO_CONTROL_ORDINAL = 557;
constexpr uint32_t PROCESS_SLOT_BYTES = 0x02000000;  // each Windows CE process has 32 MB
constexpr uint32_t CE_PAGE_BYTES = 0x1000;

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

class NalvexImage : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        auto read = pe::ReadImageFile(NALVEX_EXE_PATH, error);
        ASSERT_TRUE(read) << error;
        img = std::move(*read);
    }
    pe::Image img;
};

TEST_F(NalvexImage, IsAnArmWindowsCeGuiProgram) {
    EXPECT_EQ(img.machine, pe::MACHINE_ARM);  // ARM state code, not 0x1c4 Thumb-2
    EXPECT_TRUE(img.characteristics & pe::FILE_EXECUTABLE_IMAGE);
    EXPECT_TRUE(img.characteristics & pe::FILE_32BIT_MACHINE);
    EXPECT_FALSE(img.characteristics & pe::FILE_DLL);
    EXPECT_EQ(img.subsystem, pe::SUBSYSTEM_WINDOWS_CE_GUI);
    EXPECT_EQ(img.subsystem_version_major, 4);
    EXPECT_EQ(img.subsystem_version_minor, 20);
}

TEST_F(NalvexImage, ImportsOnlyTheKernelIoControlEntryByOrdinalFromCoredll) {
    ASSERT_EQ(img.imports.size(), 1u);
    const pe::Import &import = img.imports[0];
    EXPECT_EQ(import.dll, "COREDLL.dll");
    EXPECT_TRUE(import.by_ordinal);
    EXPECT_EQ(import.ordinal, KERNEL_IO_CONTROL_ORDINAL);
    // Unbound: the address table holds the same request until the loader fills it.
    EXPECT_EQ(import.address_entry, import.lookup_entry);

    const pe::DataDirectory iat = img.directories.at(pe::DIR_IAT);
    EXPECT_LE(iat.rva, import.slot_rva);
    EXPECT_GE(uint64_t{iat.rva} + iat.size, uint64_t{import.slot_rva} + 4);
    const pe::Section *slot = img.SectionAt(import.slot_rva);
    ASSERT_NE(slot, nullptr);
    EXPECT_TRUE(slot->characteristics & pe::SCN_MEM_WRITE) << "the loader must be able to fill the slot";
}

TEST_F(NalvexImage, HasNoExportsResourcesOrOtherDirectories) {
    for (size_t i = 0; i < img.directories.size(); ++i) {
        if (i == pe::DIR_IMPORT || i == pe::DIR_IAT) continue;
        EXPECT_EQ(img.directories[i].rva, 0u) << "directory " << i;
        EXPECT_EQ(img.directories[i].size, 0u) << "directory " << i;
    }
}

// Without relocations the loader must place the image at its base, which a Windows CE
// program can rely on only if the image lies inside its process slot.
TEST_F(NalvexImage, LoadsAtItsBaseInsideTheProcessSlot) {
    EXPECT_TRUE(img.characteristics & pe::FILE_RELOCS_STRIPPED);
    EXPECT_EQ(img.image_base % 0x10000, 0u);
    EXPECT_GE(img.image_base, 0x10000u) << "the slot's first 64 KB are never mapped";
    EXPECT_LE(uint64_t{img.image_base} + img.size_of_image, PROCESS_SLOT_BYTES);
}

TEST_F(NalvexImage, EntryIsArmCodeInsideAnExecutableSection) {
    EXPECT_EQ(img.entry_rva % 4, 0u) << "an odd or half-word entry would be Thumb code";
    const pe::Section *code = img.SectionAt(img.entry_rva);
    ASSERT_NE(code, nullptr);
    EXPECT_TRUE(code->characteristics & pe::SCN_CNT_CODE);
    EXPECT_TRUE(code->characteristics & pe::SCN_MEM_EXECUTE);
    EXPECT_LE(uint64_t{img.entry_rva} + 4, uint64_t{code->virtual_address} + code->virtual_size);
}

TEST_F(NalvexImage, HeadersAndSectionsAreLaidOutConsistently) {
    EXPECT_TRUE(IsPowerOfTwo(img.file_alignment));
    EXPECT_GE(img.file_alignment, 0x200u);
    EXPECT_LE(img.file_alignment, 0x10000u);
    EXPECT_TRUE(IsPowerOfTwo(img.section_alignment));
    EXPECT_GE(img.section_alignment, CE_PAGE_BYTES);
    EXPECT_EQ(img.directories.size(), pe::DIR_COUNT);
    EXPECT_EQ(img.optional_header_size, 96u + 8u * img.directories.size());
    EXPECT_EQ(img.symbol_table_offset, 0u);
    EXPECT_EQ(img.symbol_count, 0u);

    EXPECT_GE(img.size_of_headers, img.section_table_end);
    EXPECT_EQ(img.size_of_headers % img.file_alignment, 0u);

    ASSERT_EQ(img.sections.size(), img.section_count);
    ASSERT_FALSE(img.sections.empty());
    uint32_t next_rva = AlignUp(img.size_of_headers, img.section_alignment);
    uint32_t next_offset = img.size_of_headers;
    uint32_t code_bytes = 0, data_bytes = 0, first_code_rva = 0;
    for (const pe::Section &s : img.sections) {
        SCOPED_TRACE(s.name);
        EXPECT_EQ(s.virtual_address, next_rva) << "sections follow each other without gaps";
        EXPECT_EQ(s.raw_offset, next_offset) << "raw data follows in the same order";
        EXPECT_GT(s.virtual_size, 0u);
        EXPECT_EQ(s.raw_size % img.file_alignment, 0u);
        EXPECT_GE(s.raw_size, s.virtual_size);
        EXPECT_EQ(s.relocation_count, 0u);
        EXPECT_EQ(s.line_number_count, 0u);
        EXPECT_FALSE((s.characteristics & pe::SCN_MEM_WRITE) && (s.characteristics & pe::SCN_MEM_EXECUTE));
        EXPECT_FALSE(s.characteristics & pe::SCN_CNT_UNINITIALIZED_DATA);
        if (s.characteristics & pe::SCN_CNT_CODE) {
            code_bytes += s.raw_size;
            if (first_code_rva == 0) first_code_rva = s.virtual_address;
        }
        if (s.characteristics & pe::SCN_CNT_INITIALIZED_DATA) data_bytes += s.raw_size;
        next_rva = AlignUp(s.virtual_address + s.virtual_size, img.section_alignment);
        next_offset = s.raw_offset + s.raw_size;
    }
    EXPECT_EQ(img.size_of_image, next_rva);
    EXPECT_EQ(img.file.size(), next_offset) << "nothing after the last section";
    EXPECT_EQ(img.size_of_code, code_bytes);
    EXPECT_EQ(img.size_of_initialized_data, data_bytes);
    EXPECT_EQ(img.size_of_uninitialized_data, 0u);
    EXPECT_EQ(img.base_of_code, first_code_rva);
}

TEST_F(NalvexImage, ChecksumMatchesTheContents) {
    EXPECT_NE(img.checksum, 0u);
    EXPECT_EQ(img.checksum, pe::ComputeChecksum(img.file, img.checksum_offset));
}

}  // namespace
