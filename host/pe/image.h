// The NT image of the driver (tolvanex.sys, i386 PE) loaded into the host:
// its sections mapped, its base relocations applied, each import bound by
// name to the host's routine, and its entry point run as NDIS would run
// DriverEntry. From then on the host drives it as it drives the host build.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host.h"

namespace tolvanex::host::pe {

// A file that is not a loadable image, or one importing what the host does
// not provide. The message names the file and what is wrong.
class ImageError : public HostError {
  public:
    using HostError::HostError;
};

struct ImportName {
    std::string dll;     // as the image spells it, e.g. "ntoskrnl.exe"
    std::string routine; // e.g. "KeSetEvent"
};

// Whether the host provides `routine` from `dll` (case-insensitive DLL name).
bool host_provides(const std::string &dll, const std::string &routine);

class Image {
  public:
    // Maps and binds the image; ImageError when it cannot. Only one image is
    // loaded at a time, as only one host runs.
    static std::unique_ptr<Image> load(const std::filesystem::path &file);
    ~Image();
    Image(const Image &) = delete;
    Image &operator=(const Image &) = delete;

    // DriverEntry for NdisWrapper::load: runs the image's entry point.
    DriverEntryRoutine entry() const;
    void *entry_address() const;

    const std::filesystem::path &file() const { return file_; }
    std::uintptr_t base() const { return reinterpret_cast<std::uintptr_t>(base_); }
    std::size_t size() const { return size_; }
    const std::vector<ImportName> &imports() const { return imports_; }

    // The image routine containing `address`, from the image's COFF symbols.
    std::optional<std::string> symbol_at(const void *address) const;
    // The image's routine of that name, if its symbols have it.
    std::optional<std::uintptr_t> address_of(const std::string &name) const;

  private:
    Image() = default;
    void parse_and_map(const std::vector<unsigned char> &file);
    void relocate(std::int64_t delta);
    void bind_imports();
    void read_symbols(const std::vector<unsigned char> &file);

    std::filesystem::path file_;
    unsigned char *base_ = nullptr;
    std::size_t size_ = 0;
    std::uint32_t preferred_base_ = 0;
    std::uint32_t entry_rva_ = 0;
    std::uint32_t symbol_table_ = 0, symbol_count_ = 0;
    std::uint32_t reloc_rva_ = 0, reloc_size_ = 0;
    std::uint32_t import_rva_ = 0, import_size_ = 0;
    std::uint32_t text_begin_ = 0, text_end_ = 0; // RVAs of code
    std::vector<ImportName> imports_;
    std::map<std::uintptr_t, std::string> symbols_; // address -> routine
};

// The loaded image, if any.
Image *current_image();

} // namespace tolvanex::host::pe
