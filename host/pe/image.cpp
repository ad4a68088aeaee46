#include "pe/image.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <fstream>
#include <iterator>
#include <sys/mman.h>

#include "pe/boundary.h"
#include "pe/imports.h"
#include "ndis.h"
#include "ndis/ndis_wrapper.h"

namespace tolvanex::host::pe {

namespace {

Image *g_image = nullptr;

constexpr std::uint16_t kMachineI386 = 0x014C;
constexpr std::uint16_t kOptionalMagic32 = 0x010B;
constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionCode = 0x00000020;
constexpr int kDirImport = 1, kDirBaseReloc = 5;
constexpr int kRelocAbsolute = 0, kRelocHighLow = 3;

// Little-endian reads, bounds-checked against the whole buffer.
struct Reader {
    const unsigned char *data;
    std::size_t size;
    std::string what; // the file's name, for messages

    void need(std::size_t off, std::size_t n, const char *field) const {
        if (off > size || n > size - off)
            throw ImageError(what + ": truncated (" + field + " lies past the end)");
    }
    std::uint8_t u8(std::size_t off, const char *field) const {
        need(off, 1, field);
        return data[off];
    }
    std::uint16_t u16(std::size_t off, const char *field) const {
        need(off, 2, field);
        return static_cast<std::uint16_t>(data[off] | data[off + 1] << 8);
    }
    std::uint32_t u32(std::size_t off, const char *field) const {
        need(off, 4, field);
        return static_cast<std::uint32_t>(data[off]) | static_cast<std::uint32_t>(data[off + 1]) << 8 |
               static_cast<std::uint32_t>(data[off + 2]) << 16 | static_cast<std::uint32_t>(data[off + 3]) << 24;
    }
    // A NUL-terminated string starting at `off`, at most `max` bytes.
    std::string str(std::size_t off, std::size_t max, const char *field) const {
        need(off, 1, field);
        std::size_t end = off;
        while (end < size && end - off < max && data[end])
            ++end;
        if (end >= size || (end - off == max && max != 8))
            throw ImageError(what + ": " + field + " is not terminated");
        return std::string(reinterpret_cast<const char *>(data + off), end - off);
    }
};

// "_DriverEntry@8" -> "DriverEntry"; "__Z13GeneralThreadPv" -> "GeneralThread";
// "@KfAcquireSpinLock@4" -> "KfAcquireSpinLock". Read as the host names its
// own routines, without arguments or namespaces.
std::string routine_name(std::string raw) {
    if (!raw.empty() && (raw[0] == '_' || raw[0] == '@'))
        raw.erase(0, 1);
    if (auto at = raw.rfind('@'); at != std::string::npos && at > 0 &&
        raw.find_first_not_of("0123456789", at + 1) == std::string::npos)
        raw.erase(at); // the stdcall or fastcall argument size
    if (raw.rfind("_Z", 0) == 0) {
        int status = 0;
        char *demangled = abi::__cxa_demangle(raw.c_str(), nullptr, nullptr, &status);
        if (status == 0 && demangled) {
            std::string name = demangled;
            std::free(demangled);
            if (auto paren = name.find('('); paren != std::string::npos)
                name.erase(paren);
            if (auto colons = name.rfind("::"); colons != std::string::npos)
                name.erase(0, colons + 2);
            return name;
        }
        std::free(demangled);
    }
    return raw;
}

std::vector<unsigned char> read_file(const std::filesystem::path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw ImageError(file.string() + ": cannot open");
    std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw ImageError(file.string() + ": cannot read");
    return bytes;
}

NTSTATUS NTAPI image_driver_entry(_DRIVER_OBJECT *driver, _UNICODE_STRING *registry_path) {
    Image *image = g_image;
    if (!image)
        throw HostError("DriverEntry of an image that is no longer loaded");
    auto entry = reinterpret_cast<NTSTATUS(NTAPI *)(_DRIVER_OBJECT *, _UNICODE_STRING *)>(image->entry_address());
    return call_image([&] { return entry(driver, registry_path); });
}

} // namespace

Image *current_image() { return g_image; }

std::unique_ptr<Image> Image::load(const std::filesystem::path &file) {
    if (g_image)
        throw ImageError(file.string() + ": an image is already loaded");
    std::vector<unsigned char> bytes = read_file(file);
    std::unique_ptr<Image> image(new Image);
    image->file_ = file;
    image->parse_and_map(bytes);
    image->read_symbols(bytes);
    image->bind_imports();
    g_image = image.get();
    set_image_symbols(image.get());
    return image;
}

Image::~Image() {
    if (g_image == this) {
        g_image = nullptr;
        set_image_symbols(nullptr);
        forget_callbacks();
    }
    if (base_)
        munmap(base_, size_);
}

DriverEntryRoutine Image::entry() const { return &image_driver_entry; }

void *Image::entry_address() const { return base_ + entry_rva_; }

void Image::parse_and_map(const std::vector<unsigned char> &bytes) {
    Reader r{bytes.data(), bytes.size(), file_.filename().string()};
    const std::string &name = r.what;
    if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z')
        throw ImageError(name + ": not a PE image (no MZ header)");
    std::uint32_t pe = r.u32(0x3C, "the PE header offset");
    if (r.u32(pe, "the PE signature") != 0x00004550)
        throw ImageError(name + ": not a PE image (no PE signature)");
    std::size_t coff = pe + 4;
    std::uint16_t machine = r.u16(coff, "the machine");
    if (machine != kMachineI386)
        throw ImageError(name + ": machine " + hex32(machine) + " is not i386; the host runs i386 NT images");
    std::uint16_t sections = r.u16(coff + 2, "the section count");
    symbol_table_ = r.u32(coff + 8, "the symbol table offset");
    symbol_count_ = r.u32(coff + 12, "the symbol count");
    std::uint16_t optional_size = r.u16(coff + 16, "the optional header size");
    std::size_t opt = coff + 20;
    if (r.u16(opt, "the optional header") != kOptionalMagic32)
        throw ImageError(name + ": not a 32-bit PE image");
    entry_rva_ = r.u32(opt + 16, "the entry point");
    preferred_base_ = r.u32(opt + 28, "the image base");
    std::uint32_t image_size = r.u32(opt + 56, "the image size");
    std::uint32_t header_size = r.u32(opt + 60, "the header size");
    std::uint32_t directories = r.u32(opt + 92, "the directory count");
    auto directory = [&](int index, std::uint32_t &rva, std::uint32_t &size) {
        rva = size = 0;
        if (static_cast<std::uint32_t>(index) < directories && 96u + 8u * index + 8 <= optional_size) {
            rva = r.u32(opt + 96 + 8 * index, "a data directory");
            size = r.u32(opt + 100 + 8 * index, "a data directory");
        }
    };
    directory(kDirImport, import_rva_, import_size_);
    directory(kDirBaseReloc, reloc_rva_, reloc_size_);
    if (image_size == 0 || image_size > 64u << 20)
        throw ImageError(name + ": image size " + std::to_string(image_size) + " is out of range");
    if (header_size > image_size || header_size > bytes.size())
        throw ImageError(name + ": the headers do not fit the image");
    if (entry_rva_ == 0 || entry_rva_ >= image_size)
        throw ImageError(name + ": the entry point lies outside the image");

    size_ = image_size;
    int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#if defined(__x86_64__)
    flags |= MAP_32BIT; // the image's absolute addresses are 32 bits
#endif
    // Code runs from the mapping, so it is executable.
    void *map = mmap(nullptr, size_, PROT_READ | PROT_WRITE | PROT_EXEC, flags, -1, 0);
    if (map == MAP_FAILED)
        throw ImageError(name + ": cannot map " + std::to_string(size_) + " bytes");
    base_ = static_cast<unsigned char *>(map);
    std::memcpy(base_, bytes.data(), header_size);

    std::size_t table = opt + optional_size;
    for (std::uint16_t i = 0; i < sections; ++i) {
        std::size_t h = table + 40u * i;
        std::string section = r.str(h, 8, "a section name");
        std::uint32_t vsize = r.u32(h + 8, "a section size");
        std::uint32_t va = r.u32(h + 12, "a section address");
        std::uint32_t raw_size = r.u32(h + 16, "a section's raw size");
        std::uint32_t raw_at = r.u32(h + 20, "a section's raw offset");
        std::uint32_t traits = r.u32(h + 36, "a section's characteristics");
        std::uint32_t span = std::max(vsize, raw_size);
        if (va > size_ || span > size_ - va)
            throw ImageError(name + ": section " + section + " lies outside the image");
        std::uint32_t copy = vsize ? std::min(vsize, raw_size) : raw_size;
        if (copy) {
            r.need(raw_at, copy, "a section's contents");
            std::memcpy(base_ + va, bytes.data() + raw_at, copy);
        }
        if (traits & (kSectionExecute | kSectionCode)) {
            if (text_end_ == 0 || va < text_begin_)
                text_begin_ = va;
            text_end_ = std::max(text_end_, va + span);
        }
    }
    relocate(static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(base_)) - preferred_base_);
}

void Image::relocate(std::int64_t delta) {
    std::string name = file_.filename().string();
    if (reloc_rva_ == 0 || reloc_size_ == 0) {
        if (delta != 0)
            throw ImageError(name + ": no base relocations, and the image cannot sit at its preferred base");
        return;
    }
    if (reloc_rva_ > size_ || reloc_size_ > size_ - reloc_rva_)
        throw ImageError(name + ": the base relocations lie outside the image");
    Reader r{base_, size_, name};
    std::uint32_t at = reloc_rva_, end = reloc_rva_ + reloc_size_;
    while (at + 8 <= end) {
        std::uint32_t page = r.u32(at, "a relocation block");
        std::uint32_t block = r.u32(at + 4, "a relocation block");
        if (block < 8 || block > end - at)
            throw ImageError(name + ": a relocation block has size " + std::to_string(block));
        for (std::uint32_t e = at + 8; e + 2 <= at + block; e += 2) {
            std::uint16_t entry = r.u16(e, "a relocation");
            int type = entry >> 12;
            std::uint32_t target = page + (entry & 0x0FFF);
            if (type == kRelocAbsolute)
                continue;
            if (type != kRelocHighLow)
                throw ImageError(name + ": relocation type " + std::to_string(type) + " at " + hex32(target) +
                                 " is not one an i386 image uses");
            std::uint32_t v = r.u32(target, "a relocated address");
            v = static_cast<std::uint32_t>(v + delta);
            std::memcpy(base_ + target, &v, 4);
        }
        at += block;
    }
}

void Image::bind_imports() {
    std::string name = file_.filename().string();
    if (import_rva_ == 0)
        return;
    Reader r{base_, size_, name};
    std::vector<std::string> missing;
    for (std::uint32_t d = import_rva_;; d += 20) {
        std::uint32_t lookup = r.u32(d, "an import descriptor");
        std::uint32_t dll_rva = r.u32(d + 12, "an import descriptor");
        std::uint32_t iat = r.u32(d + 16, "an import descriptor");
        if (lookup == 0 && dll_rva == 0 && iat == 0)
            break;
        std::string dll = r.str(dll_rva, 256, "an imported DLL's name");
        if (lookup == 0)
            lookup = iat;
        for (std::uint32_t i = 0;; ++i) {
            std::uint32_t thunk = r.u32(lookup + 4 * i, "an import lookup entry");
            if (thunk == 0)
                break;
            if (thunk & 0x80000000u) {
                missing.push_back(dll + " ordinal " + std::to_string(thunk & 0xFFFF) +
                                  " (the host binds imports by name)");
                continue;
            }
            std::string routine = r.str(thunk + 2, 256, "an imported routine's name");
            imports_.push_back({dll, routine});
            const void *target = host_routine(dll, routine);
            if (!target) {
                missing.push_back(dll + "!" + routine);
                continue;
            }
            std::uintptr_t address = reinterpret_cast<std::uintptr_t>(target);
            if (address > 0xFFFFFFFFu) {
                // Only the 32-bit host can hand the image its routines.
                continue;
            }
            std::uint32_t slot = static_cast<std::uint32_t>(address);
            r.need(iat + 4 * i, 4, "an import address entry");
            std::memcpy(base_ + iat + 4 * i, &slot, 4);
        }
    }
    if (!missing.empty()) {
        std::string list;
        for (auto &m : missing)
            list += (list.empty() ? "" : ", ") + m;
        throw ImageError(name + ": imports what the host does not provide: " + list);
    }
#if !defined(__i386__)
    throw ImageError(name + ": the NT image runs on the 32-bit host only; build it with `make build-image` and use "
                            "build-i386/tools/tolvanex-sim");
#endif
}

void Image::read_symbols(const std::vector<unsigned char> &bytes) {
    if (symbol_table_ == 0 || symbol_count_ == 0)
        return;
    Reader r{bytes.data(), bytes.size(), file_.filename().string()};
    std::size_t strings = symbol_table_ + 18ull * symbol_count_;
    std::uint32_t strings_size = r.u32(strings, "the symbol string table");
    // Section numbers are 1-based; code sections give the symbols we keep.
    std::size_t pe = r.u32(0x3C, "the PE header offset");
    std::size_t opt = pe + 24;
    std::uint16_t sections = r.u16(pe + 6, "the section count");
    std::size_t table = opt + r.u16(pe + 20, "the optional header size");
    std::vector<std::pair<std::uint32_t, bool>> section_info; // VA, code
    for (std::uint16_t i = 0; i < sections; ++i) {
        std::size_t h = table + 40u * i;
        section_info.emplace_back(r.u32(h + 12, "a section address"),
                                  (r.u32(h + 36, "a section's characteristics") & (kSectionExecute | kSectionCode)) != 0);
    }
    std::map<std::uintptr_t, bool> typed; // a function-typed name wins over a label
    for (std::uint32_t i = 0; i < symbol_count_; ++i) {
        std::size_t s = symbol_table_ + 18ull * i;
        std::string raw;
        if (r.u32(s, "a symbol") == 0) {
            std::uint32_t off = r.u32(s + 4, "a symbol");
            if (off < 4 || off >= strings_size)
                continue;
            raw = r.str(strings + off, 4096, "a symbol name");
        } else {
            r.need(s, 8, "a symbol");
            raw.assign(reinterpret_cast<const char *>(bytes.data() + s), 8);
            raw.erase(std::find(raw.begin(), raw.end(), '\0'), raw.end());
        }
        std::uint32_t value = r.u32(s + 8, "a symbol");
        auto section = static_cast<std::int16_t>(r.u16(s + 12, "a symbol"));
        std::uint16_t type = r.u16(s + 14, "a symbol");
        std::uint8_t storage = r.u8(s + 16, "a symbol");
        i += r.u8(s + 17, "a symbol");
        if (section <= 0 || section > static_cast<int>(section_info.size()) || !section_info[section - 1].second)
            continue;
        if ((storage != 2 && storage != 3) || raw.empty() || raw[0] == '.')
            continue;
        std::uintptr_t address = base() + section_info[section - 1].first + value;
        bool function = (type & 0x30) == 0x20;
        auto it = symbols_.find(address);
        if (it != symbols_.end() && typed[address] && !function)
            continue;
        symbols_[address] = routine_name(raw);
        typed[address] = function;
    }
}

std::optional<std::string> Image::symbol_at(const void *address) const {
    auto a = reinterpret_cast<std::uintptr_t>(address);
    if (a < base() + text_begin_ || a >= base() + text_end_)
        return std::nullopt;
    auto it = symbols_.upper_bound(a);
    if (it == symbols_.begin())
        return std::nullopt;
    return std::prev(it)->second;
}

std::optional<std::uintptr_t> Image::address_of(const std::string &name) const {
    for (auto &[address, routine] : symbols_)
        if (routine == name)
            return address;
    return std::nullopt;
}

bool host_provides(const std::string &dll, const std::string &routine) { return host_routine(dll, routine) != nullptr; }

} // namespace tolvanex::host::pe
