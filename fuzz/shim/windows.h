#pragma once
// The few Windows types the fuzzed sources name, for a native Linux build: the PE records with their layout
// as the PE format defines it, and SYSTEMTIME. Nothing here calls Windows.
#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONGLONG = std::uint64_t;

struct SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

constexpr WORD IMAGE_DOS_SIGNATURE = 0x5A4D;
constexpr DWORD IMAGE_NT_SIGNATURE = 0x00004550;
constexpr WORD IMAGE_NT_OPTIONAL_HDR64_MAGIC = 0x20B;
constexpr int IMAGE_NUMBEROF_DIRECTORY_ENTRIES = 16;
constexpr int IMAGE_DIRECTORY_ENTRY_EXCEPTION = 3;
constexpr DWORD IMAGE_SCN_MEM_EXECUTE = 0x20000000;
constexpr DWORD IMAGE_SCN_MEM_WRITE = 0x80000000;

struct IMAGE_DOS_HEADER {
    WORD e_magic;
    WORD e_other[29];
    LONG e_lfanew;
};

struct IMAGE_FILE_HEADER {
    WORD Machine, NumberOfSections;
    DWORD TimeDateStamp, PointerToSymbolTable, NumberOfSymbols;
    WORD SizeOfOptionalHeader, Characteristics;
};

struct IMAGE_DATA_DIRECTORY {
    DWORD VirtualAddress, Size;
};

struct IMAGE_OPTIONAL_HEADER64 {
    WORD Magic;
    BYTE MajorLinkerVersion, MinorLinkerVersion;
    DWORD SizeOfCode, SizeOfInitializedData, SizeOfUninitializedData, AddressOfEntryPoint, BaseOfCode;
    ULONGLONG ImageBase;
    DWORD SectionAlignment, FileAlignment;
    WORD MajorOperatingSystemVersion, MinorOperatingSystemVersion, MajorImageVersion, MinorImageVersion,
        MajorSubsystemVersion, MinorSubsystemVersion;
    DWORD Win32VersionValue, SizeOfImage, SizeOfHeaders, CheckSum;
    WORD Subsystem, DllCharacteristics;
    ULONGLONG SizeOfStackReserve, SizeOfStackCommit, SizeOfHeapReserve, SizeOfHeapCommit;
    DWORD LoaderFlags, NumberOfRvaAndSizes;
    IMAGE_DATA_DIRECTORY DataDirectory[IMAGE_NUMBEROF_DIRECTORY_ENTRIES];
};

struct IMAGE_NT_HEADERS64 {
    DWORD Signature;
    IMAGE_FILE_HEADER FileHeader;
    IMAGE_OPTIONAL_HEADER64 OptionalHeader;
};

struct IMAGE_SECTION_HEADER {
    BYTE Name[8];
    union {
        DWORD PhysicalAddress;
        DWORD VirtualSize;
    } Misc;
    DWORD VirtualAddress, SizeOfRawData, PointerToRawData, PointerToRelocations, PointerToLinenumbers;
    WORD NumberOfRelocations, NumberOfLinenumbers;
    DWORD Characteristics;
};

struct IMAGE_RUNTIME_FUNCTION_ENTRY {
    DWORD BeginAddress, EndAddress, UnwindData;
};

static_assert(offsetof(IMAGE_DOS_HEADER, e_lfanew) == 0x3C);
static_assert(sizeof(IMAGE_FILE_HEADER) == 20);
static_assert(offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory) == 112 &&
              sizeof(IMAGE_OPTIONAL_HEADER64) == 240);
static_assert(sizeof(IMAGE_NT_HEADERS64) == 264);
static_assert(sizeof(IMAGE_SECTION_HEADER) == 40);
static_assert(sizeof(IMAGE_RUNTIME_FUNCTION_ENTRY) == 12);
