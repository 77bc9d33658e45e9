// pe_image.cpp - a host tool for the kernel images: writes the PE checksum
// after linking (GNU ld leaves it zero; Windows checks it for boot drivers
// and its signing tools expect it), checks an image as a kernel driver must
// be, and checks object files for static constructors.
//
//   pe_image checksum IMAGE            compute and write the checksum
//   pe_image check IMAGE [OBJECT...]   every check below; exit 1 on a failure
//
// Image checks: native subsystem; imports only from ntoskrnl.exe, HAL.dll
// and USBD.SYS, by undecorated names; no exported function or name; base relocations present and not
// stripped; dynamic base and NX compatible; no section both writable and
// executable; no TLS directory; a CodeView record naming the image's PDB;
// a correct checksum. Object checks: no
// .ctors, .init_array or .CRT$XC* section with contents.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

uint16_t U16(const Bytes& b, size_t at) { return at + 2 <= b.size() ? b[at] | b[at + 1] << 8 : 0; }
uint32_t U32(const Bytes& b, size_t at) {
    return at + 4 <= b.size() ? uint32_t(U16(b, at)) | uint32_t(U16(b, at + 2)) << 16 : 0;
}

bool Load(const char* path, Bytes* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

struct Section {
    std::string name;
    uint32_t virtualAddress, virtualSize, rawOffset, rawSize, characteristics;
};

struct Image {
    Bytes bytes;
    size_t pe = 0;        // offset of "PE\0\0"
    size_t optional = 0;  // offset of the optional header
    bool pe32plus = false;
    std::vector<Section> sections;

    size_t ChecksumOffset() const { return optional + 64; }
    uint32_t DirectoryCount() const { return U32(bytes, optional + (pe32plus ? 108 : 92)); }
    // Data directory i: {rva, size}, or {0, 0} when absent.
    std::pair<uint32_t, uint32_t> Directory(uint32_t i) const {
        if (i >= DirectoryCount()) return {0, 0};
        size_t at = optional + (pe32plus ? 112 : 96) + 8 * i;
        return {U32(bytes, at), U32(bytes, at + 4)};
    }
    // File offset of an RVA, or 0 when no section holds it.
    size_t Offset(uint32_t rva) const {
        for (const Section& s : sections)
            if (rva >= s.virtualAddress && rva < s.virtualAddress + s.rawSize)
                return s.rawOffset + (rva - s.virtualAddress);
        return 0;
    }
    std::string StringAt(uint32_t rva) const {
        std::string out;
        for (size_t at = Offset(rva); at && at < bytes.size() && bytes[at]; ++at) out += char(bytes[at]);
        return out;
    }
};

bool Parse(const char* path, Image* image, std::string* error) {
    if (!Load(path, &image->bytes)) return *error = "cannot read", false;
    const Bytes& b = image->bytes;
    if (U16(b, 0) != 0x5A4D) return *error = "no MZ header", false;
    image->pe = U32(b, 0x3C);
    if (U32(b, image->pe) != 0x00004550) return *error = "no PE signature", false;
    size_t file = image->pe + 4;
    uint16_t count = U16(b, file + 2);
    uint16_t optionalSize = U16(b, file + 16);
    image->optional = file + 20;
    uint16_t magic = U16(b, image->optional);
    if (magic != 0x10B && magic != 0x20B) return *error = "unknown optional header", false;
    image->pe32plus = magic == 0x20B;
    size_t table = image->optional + optionalSize;
    for (uint16_t i = 0; i < count; ++i) {
        size_t at = table + 40 * i;
        if (at + 40 > b.size()) return *error = "section table cut short", false;
        Section s;
        s.name.assign(reinterpret_cast<const char*>(&b[at]), strnlen(reinterpret_cast<const char*>(&b[at]), 8));
        s.virtualSize = U32(b, at + 8);
        s.virtualAddress = U32(b, at + 12);
        s.rawSize = U32(b, at + 16);
        s.rawOffset = U32(b, at + 20);
        s.characteristics = U32(b, at + 36);
        image->sections.push_back(s);
    }
    return true;
}

// The PE checksum: 16-bit one's-complement-style sum of the file with the
// checksum field taken as zero, folded, plus the file length.
uint32_t Checksum(const Image& image) {
    const Bytes& b = image.bytes;
    uint64_t sum = 0;
    size_t skip = image.ChecksumOffset();
    for (size_t i = 0; i < b.size(); i += 2) {
        if (i == skip || i == skip + 2) continue;
        uint32_t word = b[i] | (i + 1 < b.size() ? b[i + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return uint32_t(sum) + uint32_t(b.size());
}

int failures = 0;

void Expect(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "ok  " : "FAIL", what.c_str());
    if (!ok) ++failures;
}

std::string Lower(std::string text) {
    for (char& c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

void CheckImage(const Image& image) {
    const Bytes& b = image.bytes;
    constexpr uint16_t kSubsystemNative = 1;
    constexpr uint16_t kDynamicBase = 0x40, kNxCompat = 0x100;
    constexpr uint16_t kRelocsStripped = 0x0001;
    constexpr uint32_t kExecute = 0x20000000, kWrite = 0x80000000;
    enum { kExport = 0, kImport = 1, kReloc = 5, kDebug = 6, kTls = 9 };
    constexpr uint32_t kCodeView = 2;  // IMAGE_DEBUG_TYPE_CODEVIEW

    Expect(U16(b, image.optional + 68) == kSubsystemNative, "native subsystem");

    std::vector<std::string> dlls;
    std::string decorated;  // import names the kernel does not export: _Name@N
    auto [importRva, importSize] = image.Directory(kImport);
    for (size_t at = image.Offset(importRva); importSize && at && U32(b, at + 12); at += 20) {
        dlls.push_back(image.StringAt(U32(b, at + 12)));
        uint32_t thunks = U32(b, at) ? U32(b, at) : U32(b, at + 16);
        size_t width = image.pe32plus ? 8 : 4;
        for (size_t t = image.Offset(thunks); t && U32(b, t); t += width) {
            bool byOrdinal = image.pe32plus ? (U32(b, t + 4) & 0x80000000u) : (U32(b, t) & 0x80000000u);
            if (byOrdinal) continue;
            std::string name = image.StringAt(U32(b, t) + 2);
            if (name.find('@') != std::string::npos) decorated += " " + name;
        }
    }
    bool onlyKernel = !dlls.empty();
    bool kernel = false;
    std::string list;
    for (const std::string& dll : dlls) {
        std::string name = Lower(dll);
        kernel |= name == "ntoskrnl.exe";
        onlyKernel &= name == "ntoskrnl.exe" || name == "hal.dll" || name == "usbd.sys";
        list += " " + dll;
    }
    Expect(onlyKernel && kernel, "imports only from ntoskrnl.exe, HAL.dll, USBD.SYS:" + list);
    Expect(decorated.empty(), "imports by the names the kernel exports" + decorated);

    // The linker of a -shared image leaves an export directory that names
    // the image; it must list no function and no name.
    auto [exportRva, exportSize] = image.Directory(kExport);
    size_t exports = exportSize ? image.Offset(exportRva) : 0;
    Expect(!exportSize || (exports && U32(b, exports + 20) == 0 && U32(b, exports + 24) == 0),
           "exports nothing");
    uint16_t fileCharacteristics = U16(b, image.pe + 4 + 18);
    auto [relocRva, relocSize] = image.Directory(kReloc);
    Expect(relocSize > 0 && image.Offset(relocRva) != 0 && !(fileCharacteristics & kRelocsStripped),
           "base relocations present");
    uint16_t dll = U16(b, image.optional + 70);
    Expect((dll & kDynamicBase) != 0, "dynamic base");
    Expect((dll & kNxCompat) != 0, "NX compatible");
    std::string writableCode;
    for (const Section& s : image.sections)
        if ((s.characteristics & (kExecute | kWrite)) == (kExecute | kWrite)) writableCode += " " + s.name;
    Expect(writableCode.empty(), "no section both writable and executable" + writableCode);
    Expect(image.Directory(kTls).second == 0, "no TLS directory");
    // The debug directory's CodeView record (RSDS, GUID, age, name) ties the
    // image to the PDB the linker wrote beside it.
    auto [debugRva, debugSize] = image.Directory(kDebug);
    std::string pdb;
    for (size_t at = image.Offset(debugRva), left = debugSize; at && left >= 28; at += 28, left -= 28) {
        size_t record = U32(b, at + 24);
        if (U32(b, at + 12) == kCodeView && U32(b, record) == 0x53445352)  // "RSDS"
            for (size_t c = record + 24; c < b.size() && b[c]; ++c) pdb += char(b[c]);
    }
    Expect(pdb.size() > 4 && Lower(pdb.substr(pdb.size() - 4)) == ".pdb", "names its PDB: " + pdb);
    uint32_t stored = U32(b, image.ChecksumOffset()), computed = Checksum(image);
    char text[80];
    std::snprintf(text, sizeof text, "checksum 0x%08X (computed 0x%08X)", stored, computed);
    Expect(stored == computed && stored != 0, text);
}

// A COFF object: static constructors would sit in one of these sections.
void CheckObject(const char* path) {
    Bytes b;
    if (!Load(path, &b) || b.size() < 20) {
        Expect(false, std::string(path) + ": readable object");
        return;
    }
    uint16_t count = U16(b, 2);
    uint32_t symbols = U32(b, 8), symbolCount = U32(b, 12);
    size_t strings = size_t(symbols) + 18 * size_t(symbolCount);
    size_t table = 20 + U16(b, 16);
    std::string found;
    for (uint16_t i = 0; i < count; ++i) {
        size_t at = table + 40 * i;
        if (at + 40 > b.size()) break;
        std::string name(reinterpret_cast<const char*>(&b[at]), strnlen(reinterpret_cast<const char*>(&b[at]), 8));
        if (name.size() > 1 && name[0] == '/') {
            size_t offset = strings + std::strtoul(name.c_str() + 1, nullptr, 10);
            name.clear();
            for (; offset < b.size() && b[offset]; ++offset) name += char(b[offset]);
        }
        bool constructors = name.rfind(".ctors", 0) == 0 || name.rfind(".init_array", 0) == 0 ||
                            name.rfind(".CRT$XC", 0) == 0;
        if (constructors && U32(b, at + 16) != 0) found += " " + name;
    }
    const char* base = std::strrchr(path, '/');
    Expect(found.empty(), std::string(base ? base + 1 : path) + ": no static constructors" + found);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || (std::strcmp(argv[1], "checksum") != 0 && std::strcmp(argv[1], "check") != 0)) {
        std::fprintf(stderr, "usage: pe_image checksum IMAGE | pe_image check IMAGE [OBJECT...]\n");
        return 2;
    }
    Image image;
    std::string error;
    if (!Parse(argv[2], &image, &error)) {
        std::fprintf(stderr, "%s: %s\n", argv[2], error.c_str());
        return 1;
    }
    if (std::strcmp(argv[1], "checksum") == 0) {
        uint32_t sum = Checksum(image);
        std::fstream out(argv[2], std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(image.ChecksumOffset()));
        const char le[4] = {char(sum), char(sum >> 8), char(sum >> 16), char(sum >> 24)};
        out.write(le, 4);
        return out ? 0 : 1;
    }
    std::printf("%s (%s)\n", argv[2], image.pe32plus ? "PE32+" : "PE32");
    CheckImage(image);
    for (int i = 3; i < argc; ++i) CheckObject(argv[i]);
    return failures ? 1 : 0;
}
