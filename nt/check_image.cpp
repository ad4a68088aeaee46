// check_image: reads the NT build's driver image and checks what no NT
// machine is here to check by loading it: an i386 native-subsystem 4.0
// image entered at DriverEntry, importing only platform operations from
// NDIS.SYS, ntoskrnl.exe and HAL.dll, carrying the message table in
// language-neutral, US English and French (the neutral one with the English
// texts), with a correct PE checksum.
//
// usage: check_image IMAGE PLATFORM_DIR

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace tolvanex::host {
namespace {

// The stdcall decoration of DriverEntry(PDRIVER_OBJECT, PUNICODE_STRING).
constexpr const char *kEntrySymbol = "_DriverEntry@8";
constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kSubsystemNative = 1;
constexpr std::uint32_t kResourceMessageTable = 11;
constexpr std::uint32_t kLangNeutral = 0x000;
constexpr std::uint32_t kLangEnglishUs = 0x409;
constexpr std::uint32_t kLangFrench = 0x40C;
constexpr std::uint32_t kScnMemExecute = 0x20000000;

// A structural fault: the file is not a PE image the other checks can read.
struct BadImage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

std::string hex(std::uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%X", v);
    return buf;
}

struct Section {
    std::string name;
    std::uint32_t virtual_address;
    std::uint32_t virtual_size;
    std::uint32_t raw_offset;
    std::uint32_t raw_size;
    std::uint32_t characteristics;
};

class PeImage {
  public:
    explicit PeImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {
        if (u16(0) != 0x5A4D)
            throw BadImage("no MZ header");
        pe_ = u32(0x3C);
        if (u32(pe_) != 0x00004550)
            throw BadImage("no PE signature");
        const std::uint32_t file_header = pe_ + 4;
        optional_ = file_header + 20;
        if (u16(optional_) != 0x10B)
            throw BadImage("optional header is not PE32");
        const std::uint16_t count = u16(file_header + 2);
        const std::uint32_t table = optional_ + u16(file_header + 16);
        for (std::uint16_t i = 0; i < count; i++) {
            const std::uint32_t s = table + 40u * i;
            need(s, 40);
            std::string name(reinterpret_cast<const char *>(&bytes_[s]), 8);
            name.resize(name.find('\0') == std::string::npos ? 8 : name.find('\0'));
            sections_.push_back({name, u32(s + 12), u32(s + 8), u32(s + 20), u32(s + 16), u32(s + 36)});
        }
    }

    std::uint16_t u16(std::uint32_t off) const {
        need(off, 2);
        return static_cast<std::uint16_t>(bytes_[off] | bytes_[off + 1] << 8);
    }
    std::uint32_t u32(std::uint32_t off) const {
        need(off, 4);
        return static_cast<std::uint32_t>(bytes_[off]) | static_cast<std::uint32_t>(bytes_[off + 1]) << 8 |
               static_cast<std::uint32_t>(bytes_[off + 2]) << 16 | static_cast<std::uint32_t>(bytes_[off + 3]) << 24;
    }

    std::uint32_t file_header() const { return pe_ + 4; }
    std::uint32_t optional_header() const { return optional_; }
    std::uint32_t checksum_offset() const { return optional_ + 64; }
    std::uint32_t directory_rva(unsigned index) const { return u32(optional_ + 96 + 8 * index); }
    std::uint32_t directory_size(unsigned index) const { return u32(optional_ + 96 + 8 * index + 4); }
    const std::vector<Section> &sections() const { return sections_; }
    const std::vector<std::uint8_t> &bytes() const { return bytes_; }

    const Section *section_of(std::uint32_t rva) const {
        for (const auto &s : sections_)
            if (rva >= s.virtual_address && rva < s.virtual_address + std::max(s.virtual_size, s.raw_size))
                return &s;
        return nullptr;
    }

    // File offset of an address in the image; it must lie in a section's raw data.
    std::uint32_t offset_of(std::uint32_t rva) const {
        const Section *s = section_of(rva);
        if (!s || rva - s->virtual_address >= s->raw_size)
            throw BadImage("address " + hex(rva) + " is in no section's file data");
        return s->raw_offset + (rva - s->virtual_address);
    }

    std::string c_string(std::uint32_t off) const {
        std::string s;
        for (;; off++) {
            need(off, 1);
            if (!bytes_[off])
                return s;
            s += static_cast<char>(bytes_[off]);
        }
    }

  private:
    void need(std::uint32_t off, std::uint32_t len) const {
        if (static_cast<std::uint64_t>(off) + len > bytes_.size())
            throw BadImage("read past the end of the file at " + hex(off));
    }

    std::vector<std::uint8_t> bytes_;
    std::uint32_t pe_ = 0;
    std::uint32_t optional_ = 0;
    std::vector<Section> sections_;
};

// The PE checksum: 16-bit one's-complement-style sum of the file with the
// checksum field taken as zero, folded, plus the file length.
std::uint32_t pe_checksum(const std::vector<std::uint8_t> &bytes, std::uint32_t field) {
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < bytes.size(); i += 2) {
        if (i >= field && i < field + 4)
            continue;
        std::uint32_t word = bytes[i];
        if (i + 1 < bytes.size())
            word |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + bytes.size());
}

// Every function platform/ declares with a calling convention:
// "NTAPI Name(", "FASTCALL Name(" or "CDECL Name(".
std::set<std::string> platform_operations(const std::filesystem::path &dir) {
    static const std::regex comment(R"(//[^\n]*|/\*[\s\S]*?\*/)");
    static const std::regex declaration(R"(\b(?:NTAPI|FASTCALL|CDECL)\s+([A-Za-z_]\w*)\s*\()");
    std::set<std::string> names;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".h")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        text = std::regex_replace(text, comment, " ");
        for (std::sregex_iterator it(text.begin(), text.end(), declaration), end; it != end; ++it)
            names.insert((*it)[1].str());
    }
    return names;
}

class Checker {
  public:
    Checker(const PeImage &image, std::set<std::string> operations)
        : image_(image), operations_(std::move(operations)) {}

    void run() {
        check_header();
        check_entry();
        check_imports();
        check_resources();
        check_checksum();
    }

    const std::vector<std::string> &failures() const { return failures_; }
    const std::vector<std::string> &summary() const { return summary_; }

  private:
    void fail(std::string what) { failures_.push_back(std::move(what)); }

    void check_header() {
        const std::uint16_t machine = image_.u16(image_.file_header());
        if (machine != kMachineI386)
            fail("machine is " + hex(machine) + ", not i386 (0x14C)");
        const std::uint32_t opt = image_.optional_header();
        const std::uint16_t subsystem = image_.u16(opt + 68);
        if (subsystem != kSubsystemNative)
            fail("subsystem is " + std::to_string(subsystem) + ", not native (1)");
        const std::uint16_t major = image_.u16(opt + 48);
        const std::uint16_t minor = image_.u16(opt + 50);
        if (major != 4 || minor != 0)
            fail("subsystem version is " + std::to_string(major) + "." + std::to_string(minor) + ", not 4.0");
    }

    // The entry point must be the address the COFF symbol table gives
    // DriverEntry, inside an executable section.
    void check_entry() {
        const std::uint32_t entry = image_.u32(image_.optional_header() + 16);
        const std::uint32_t table = image_.u32(image_.file_header() + 8);
        const std::uint32_t count = image_.u32(image_.file_header() + 12);
        if (!table || !count) {
            fail("the image has no COFF symbol table, so the entry point cannot be matched to " +
                 std::string(kEntrySymbol) + " (was it stripped?)");
            return;
        }
        const std::uint32_t strings = table + 18 * count;
        bool found = false;
        for (std::uint32_t i = 0, aux = 0; i < count; i += 1 + aux) {
            const std::uint32_t sym = table + 18 * i;
            aux = image_.u16(sym + 16) >> 8; // storage class, then the count of auxiliary records
            std::string name;
            if (image_.u32(sym) == 0)
                name = image_.c_string(strings + image_.u32(sym + 4));
            else {
                name.assign(reinterpret_cast<const char *>(&image_.bytes()[sym]), 8);
                name.resize(name.find('\0') == std::string::npos ? 8 : name.find('\0'));
            }
            if (name != kEntrySymbol)
                continue;
            const auto section = static_cast<std::int16_t>(image_.u16(sym + 12));
            if (section < 1 || static_cast<std::size_t>(section) > image_.sections().size())
                continue; // an undefined reference, such as the one --entry leaves
            found = true;
            const Section &s = image_.sections()[static_cast<std::size_t>(section - 1)];
            const std::uint32_t rva = s.virtual_address + image_.u32(sym + 8);
            if (rva != entry)
                fail("entry point is " + hex(entry) + " but " + kEntrySymbol + " is at " + hex(rva));
            else if (!(s.characteristics & kScnMemExecute))
                fail("entry point is in section " + s.name + ", which is not executable");
            else
                summary_.push_back("entry: " + std::string(kEntrySymbol) + " at " + hex(rva) + " in " + s.name);
            break;
        }
        if (!found)
            fail("no definition of " + std::string(kEntrySymbol) +
                 " in the image: DriverEntry must be extern \"C\" NTAPI with two arguments");
    }

    void check_imports() {
        static const std::set<std::string> allowed_dlls = {"NDIS.SYS", "NTOSKRNL.EXE", "HAL.DLL"};
        const std::uint32_t rva = image_.directory_rva(1);
        if (!rva) {
            fail("the image imports nothing");
            return;
        }
        for (std::uint32_t d = image_.offset_of(rva);; d += 20) {
            const std::uint32_t lookup = image_.u32(d);
            const std::uint32_t name_rva = image_.u32(d + 12);
            const std::uint32_t address = image_.u32(d + 16);
            if (!lookup && !name_rva && !address)
                break;
            const std::string dll = image_.c_string(image_.offset_of(name_rva));
            if (!allowed_dlls.count(upper(dll)))
                fail("imports from " + dll + ", which is none of NDIS.SYS, ntoskrnl.exe, HAL.dll");
            std::string line = dll + ":";
            for (std::uint32_t t = image_.offset_of(lookup ? lookup : address);; t += 4) {
                const std::uint32_t thunk = image_.u32(t);
                if (!thunk)
                    break;
                if (thunk & 0x80000000u) {
                    fail(dll + " is imported by ordinal " + std::to_string(thunk & 0xFFFF) +
                         ", which no platform declaration names");
                    continue;
                }
                const std::string name = image_.c_string(image_.offset_of(thunk) + 2);
                if (!operations_.count(name))
                    fail("imports " + name + " from " + dll + ", which platform/ does not declare");
                line += " " + name;
            }
            summary_.push_back("imports " + line);
        }
    }

    // Entries of one resource directory: (id, offset to data or subdirectory).
    std::vector<std::pair<std::uint32_t, std::uint32_t>> resource_entries(std::uint32_t dir) const {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
        const std::uint32_t n = image_.u16(dir + 12) + image_.u16(dir + 14);
        for (std::uint32_t i = 0; i < n; i++)
            out.emplace_back(image_.u32(dir + 16 + 8 * i), image_.u32(dir + 16 + 8 * i + 4));
        return out;
    }

    // Message ids of one language's table; every text must be Unicode and non-empty.
    std::set<std::uint32_t> message_ids(std::uint32_t data_entry, std::uint32_t lang) {
        std::set<std::uint32_t> ids;
        const std::uint32_t data = image_.offset_of(image_.u32(data_entry));
        const std::uint32_t blocks = image_.u32(data);
        for (std::uint32_t b = 0; b < blocks; b++) {
            const std::uint32_t low = image_.u32(data + 4 + 12 * b);
            const std::uint32_t high = image_.u32(data + 8 + 12 * b);
            std::uint32_t entry = data + image_.u32(data + 12 + 12 * b);
            for (std::uint64_t id = low; id <= high; id++) {
                const std::uint16_t length = image_.u16(entry);
                const std::uint16_t flags = image_.u16(entry + 2);
                if (length < 4) {
                    fail("message table of language " + hex(lang) + " is malformed");
                    return ids;
                }
                const auto message = static_cast<std::uint32_t>(id);
                if (flags != 1)
                    fail("message " + hex(message) + " of language " + hex(lang) + " is not Unicode");
                else if (length == 4 || image_.u16(entry + 4) == 0)
                    fail("message " + hex(message) + " of language " + hex(lang) + " is empty");
                ids.insert(message);
                entry += length;
            }
        }
        return ids;
    }

    // The bytes a resource data entry points at.
    std::vector<std::uint8_t> table_bytes(std::uint32_t data_entry) const {
        const std::uint32_t at = image_.offset_of(image_.u32(data_entry));
        const std::uint32_t size = image_.u32(data_entry + 4);
        if (size > image_.bytes().size() || at > image_.bytes().size() - size)
            throw BadImage("a message table reaches past the end of the file");
        return {image_.bytes().begin() + at, image_.bytes().begin() + at + size};
    }

    // Resource tree: type, then name, then language, then the data entry.
    void check_resources() {
        const std::uint32_t rva = image_.directory_rva(2);
        if (!rva) {
            fail("the image has no resource section");
            return;
        }
        const std::uint32_t base = image_.offset_of(rva);
        std::map<std::uint32_t, std::set<std::uint32_t>> languages;
        std::map<std::uint32_t, std::vector<std::uint8_t>> tables; // each language's table, byte for byte
        for (auto [type, type_dir] : resource_entries(base)) {
            if (type != kResourceMessageTable || !(type_dir & 0x80000000u))
                continue;
            for (auto [name, name_dir] : resource_entries(base + (type_dir & 0x7FFFFFFFu))) {
                if (!(name_dir & 0x80000000u))
                    continue;
                for (auto [lang, data] : resource_entries(base + (name_dir & 0x7FFFFFFFu)))
                    if (!(lang & 0x80000000u) && !(data & 0x80000000u)) {
                        languages[lang] = message_ids(base + data, lang);
                        tables[lang] = table_bytes(base + data);
                    }
            }
        }
        if (languages.empty()) {
            fail("the resources hold no message table (type 11)");
            return;
        }
        std::string line = "message table:";
        for (std::uint32_t want : {kLangNeutral, kLangEnglishUs, kLangFrench})
            if (!languages.count(want))
                fail("the message table has no language " + hex(want));
        if (tables.count(kLangNeutral) && tables.count(kLangEnglishUs) &&
            tables[kLangNeutral] != tables[kLangEnglishUs])
            fail("the language-neutral message table does not carry the US English texts");
        for (const auto &[lang, ids] : languages) {
            line += " " + hex(lang) + " (" + std::to_string(ids.size()) + " messages)";
            if (ids != languages.begin()->second)
                fail("languages " + hex(languages.begin()->first) + " and " + hex(lang) +
                     " do not carry the same messages");
        }
        summary_.push_back(line);
    }

    void check_checksum() {
        const std::uint32_t field = image_.checksum_offset();
        const std::uint32_t stored = image_.u32(field);
        const std::uint32_t computed = pe_checksum(image_.bytes(), field);
        if (!stored)
            fail("the PE checksum field is zero");
        else if (stored != computed)
            fail("the PE checksum field is " + hex(stored) + " but the image sums to " + hex(computed));
        else
            summary_.push_back("checksum: " + hex(stored) + " (matches)");
    }

    const PeImage &image_;
    std::set<std::string> operations_;
    std::vector<std::string> failures_;
    std::vector<std::string> summary_;
};

} // namespace
} // namespace tolvanex::host

int main(int argc, char **argv) {
    using namespace tolvanex::host;
    if (argc != 3) {
        std::fprintf(stderr, "usage: check_image IMAGE PLATFORM_DIR\n");
        return 2;
    }
    const char *path = argv[1];
    try {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            throw BadImage("cannot open the file");
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const PeImage image(std::move(bytes));
        std::set<std::string> operations = platform_operations(argv[2]);
        if (operations.empty()) {
            std::fprintf(stderr, "check_image: %s declares no operations\n", argv[2]);
            return 2;
        }
        Checker checker(image, std::move(operations));
        checker.run();
        if (!checker.failures().empty()) {
            for (const auto &f : checker.failures())
                std::fprintf(stderr, "check_image: %s: %s\n", path, f.c_str());
            std::fprintf(stderr, "check_image: %s: FAILED, %zu problem(s)\n", path, checker.failures().size());
            return 1;
        }
        std::printf("%s: ok\n", path);
        for (const auto &line : checker.summary())
            std::printf("  %s\n", line.c_str());
        return 0;
    } catch (const BadImage &e) {
        std::fprintf(stderr, "check_image: %s: not a readable PE image: %s\n", path, e.what());
    } catch (const std::filesystem::filesystem_error &e) {
        std::fprintf(stderr, "check_image: %s\n", e.what());
    }
    return 1;
}
