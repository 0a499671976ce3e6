@ The PE headers, section table and import directory of Nalvex.exe. Every size, offset
@ and relative address comes from nalvex.ld, which places the sections; this file only
@ fixes the order and the constant fields. GAS cannot subtract symbols it does not
@ know, so each computed field is a symbol of its own in the script.

#define IMAGE_FILE_MACHINE_ARM              0x01c0
#define IMAGE_FILE_RELOCS_STRIPPED          0x0001
#define IMAGE_FILE_EXECUTABLE_IMAGE         0x0002
#define IMAGE_FILE_LINE_NUMS_STRIPPED       0x0004
#define IMAGE_FILE_LOCAL_SYMS_STRIPPED      0x0008
#define IMAGE_FILE_32BIT_MACHINE            0x0100
#define IMAGE_SUBSYSTEM_WINDOWS_CE_GUI      9
#define IMAGE_SCN_CNT_CODE                  0x00000020
#define IMAGE_SCN_CNT_INITIALIZED_DATA      0x00000040
#define IMAGE_SCN_MEM_EXECUTE               0x20000000
#define IMAGE_SCN_MEM_READ                  0x40000000
#define IMAGE_SCN_MEM_WRITE                 0x80000000
#define IMAGE_ORDINAL_FLAG                  0x80000000
#define KERNEL_IO_CONTROL_ORDINAL           557
#define DATA_DIRECTORY_COUNT                16

    .section .pehdr, "a"

@ DOS header: the loader reads only the magic and the offset of the PE signature.
dos_header:
    .ascii  "MZ"
    .fill   0x3c - (. - dos_header), 1, 0
    .long   pe_signature - dos_header

pe_signature:
    .ascii  "PE\0\0"

file_header:
    .short  IMAGE_FILE_MACHINE_ARM
    .short  (section_table_end - section_table) / 40
    .long   0                               @ time stamp: none, so builds are reproducible
    .long   0                               @ no COFF symbol table
    .long   0
    .short  optional_header_end - optional_header
    @ Relocations stripped: the image holds no absolute address, and a Windows CE
    @ process always maps its program at the program's own base in its slot.
    .short  IMAGE_FILE_RELOCS_STRIPPED | IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_LINE_NUMS_STRIPPED | IMAGE_FILE_LOCAL_SYMS_STRIPPED | IMAGE_FILE_32BIT_MACHINE

optional_header:
    .short  0x010b                          @ PE32
    .byte   0, 0                            @ linker version
    .long   __size_of_code
    .long   __size_of_initialized_data
    .long   0                               @ no uninitialized data
    .long   __entry_rva
    .long   __text_rva                      @ base of code
    .long   __idata_rva                     @ base of data
    .long   __image_base
    .long   __section_alignment
    .long   __file_alignment
    .short  4, 20                           @ operating system version
    .short  0, 0                            @ image version
    .short  4, 20                           @ subsystem version
    .long   0                               @ Win32 version value, reserved
    .long   __size_of_image
    .long   __size_of_headers
    .long   0                               @ checksum, filled after objcopy
    .short  IMAGE_SUBSYSTEM_WINDOWS_CE_GUI
    .short  0                               @ DLL characteristics
    .long   0x10000, 0x1000                 @ stack reserve, commit
    .long   0x100000, 0x1000                @ heap reserve, commit
    .long   0                               @ loader flags
    .long   DATA_DIRECTORY_COUNT
data_directories:
    .long   0, 0                            @ export: none
    .long   __import_directory_rva, import_directory_end - import_directory
    .fill   10, 8, 0                        @ resource .. bound import: none
    .long   __import_address_table_rva, import_address_table_end - import_address_table
    .fill   DATA_DIRECTORY_COUNT - (. - data_directories) / 8, 8, 0
optional_header_end:

section_table:
    .ascii  ".text\0\0\0"
    .long   __text_virtual_size, __text_rva, __text_raw_size, __text_file_offset
    .long   0, 0                            @ no relocations, no line numbers
    .short  0, 0
    .long   IMAGE_SCN_CNT_CODE | IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_MEM_READ

    @ Writable: the loader stores the kernel entry's address in the import slot.
    .ascii  ".idata\0\0"
    .long   __idata_virtual_size, __idata_rva, __idata_raw_size, __idata_file_offset
    .long   0, 0
    .short  0, 0
    .long   IMAGE_SCN_CNT_INITIALIZED_DATA | IMAGE_SCN_MEM_READ | IMAGE_SCN_MEM_WRITE
section_table_end:

    .section .idata, "aw"
    .balign 4

@ One descriptor for COREDLL.dll, then the all-zero terminator.
    .global import_directory
import_directory:
    .long   __import_lookup_table_rva
    .long   0                               @ time stamp: not bound
    .long   0                               @ no forwarders
    .long   __coredll_name_rva
    .long   __import_address_table_rva
    .fill   5, 4, 0
import_directory_end:

@ Imported by ordinal, not by name: the lookup table keeps the request, the address
@ table receives the entry's address.
    .global import_lookup_table
import_lookup_table:
    .long   IMAGE_ORDINAL_FLAG | KERNEL_IO_CONTROL_ORDINAL
    .long   0

    .global import_address_table
    .global __imp_KernelIoControl
import_address_table:
__imp_KernelIoControl:
    .long   IMAGE_ORDINAL_FLAG | KERNEL_IO_CONTROL_ORDINAL
    .long   0
import_address_table_end:

    .global coredll_name
coredll_name:
    .asciz  "COREDLL.dll"
