// The host's registry: an in-memory tree of keys and typed values, addressed
// by NT paths ("\Registry\Machine\System\..."), as the NT configuration
// manager keeps it. Tests, tools and the RAS model use this API; the driver
// reaches the same tree through the NT surface (nt_registry.cpp).
//
// Paths and names are UTF-8. Names compare without regard to ASCII case and
// keep the case they were created with; other characters compare exactly.
// A path is "\Registry" followed by "\name" per level, and only keys under
// the two hives, \Registry\Machine and \Registry\User, can be made or
// removed. Doubled or trailing backslashes are rejected, not folded: NT
// refuses such names too, and folding them would hide a driver's bad path.
//
// Value data are kept as NT keeps them: string types as UTF-16LE with their
// terminating NUL, REG_MULTI_SZ as NUL-separated strings ending in an empty
// one. Keys, subkeys and values keep insertion order.
//
// Bad input (a malformed path, a missing key, malformed UTF-8, a value of
// another type than asked) raises HostError naming what and where.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime.h"

namespace tolvanex::host {

// Registry value types (NT's REG_* codes).
constexpr std::uint32_t kRegNone = 0;
constexpr std::uint32_t kRegSz = 1;
constexpr std::uint32_t kRegExpandSz = 2;
constexpr std::uint32_t kRegBinary = 3;
constexpr std::uint32_t kRegDword = 4;
constexpr std::uint32_t kRegMultiSz = 7;

struct RegValue {
    std::string name; // "" is the key's default value
    std::uint32_t type = kRegNone;
    std::vector<std::uint8_t> data;
    bool operator==(const RegValue &) const = default;
};

// Conversions between UTF-8 text and the registry's stored forms.
namespace reg {

std::u16string to_utf16(std::string_view utf8); // HostError on malformed UTF-8
std::string to_utf8(std::u16string_view utf16); // HostError on a lone surrogate

// UTF-16LE with the terminating NUL.
std::vector<std::uint8_t> sz_bytes(std::string_view utf8);
// Each string with its NUL, then the empty string that ends the list. An
// empty string inside the list would end it early, so it is refused.
std::vector<std::uint8_t> multi_sz_bytes(const std::vector<std::string> &strings);

// The text up to the first NUL (or the end of the data).
std::string sz_text(std::span<const std::uint8_t> data);
// The strings up to the empty one that ends the list (or the end of the data).
std::vector<std::string> multi_sz_strings(std::span<const std::uint8_t> data);

// Whether `data` is exactly what sz_bytes / multi_sz_bytes would produce for
// some text, so that the value can be written as text without loss.
bool is_clean_sz(std::span<const std::uint8_t> data);
bool is_clean_multi_sz(std::span<const std::uint8_t> data);

// "REG_SZ", "REG_DWORD", ...; "type 0x%x" for codes without a name.
std::string type_name(std::uint32_t type);

} // namespace reg

class Registry {
  public:
    // A fresh registry holds \Registry and its two hives, nothing else.
    Registry();
    ~Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    // Throws HostError when `path` is not a well-formed registry path.
    static void check_path(std::string_view path);
    static bool is_valid_path(std::string_view path);

    // Creates the key. With `with_parents`, missing keys above it are made
    // too; without, a missing parent is a HostError (as NT's ZwCreateKey).
    // Returns whether the key is new.
    bool create_key(std::string_view path, bool with_parents = true);
    bool key_exists(std::string_view path) const;
    // `path` with each name in the case it is stored with; HostError when
    // there is no such key.
    std::string stored_path(std::string_view path) const;
    // Removes the key with everything below it; false when there was none.
    bool delete_key(std::string_view path);

    // Setters create the key (with its parents) when missing. Setting an
    // existing value keeps its place and the case of its name.
    void set_value(std::string_view path, std::string_view name, std::uint32_t type, std::vector<std::uint8_t> data);
    void set_sz(std::string_view path, std::string_view name, std::string_view text);
    void set_expand_sz(std::string_view path, std::string_view name, std::string_view text);
    void set_dword(std::string_view path, std::string_view name, std::uint32_t value);
    void set_multi_sz(std::string_view path, std::string_view name, const std::vector<std::string> &strings);
    void set_binary(std::string_view path, std::string_view name, std::vector<std::uint8_t> data);

    // Getters throw HostError for a missing key; a missing value is nullopt.
    // The typed getters also throw when the value has another type.
    std::optional<RegValue> get_value(std::string_view path, std::string_view name) const;
    std::optional<std::string> get_sz(std::string_view path, std::string_view name) const;
    std::optional<std::uint32_t> get_dword(std::string_view path, std::string_view name) const;
    std::optional<std::vector<std::string>> get_multi_sz(std::string_view path, std::string_view name) const;
    // False when the key has no such value; HostError for a missing key.
    bool delete_value(std::string_view path, std::string_view name);

    // Names of the subkeys, and the values, in insertion order.
    std::vector<std::string> subkeys(std::string_view path) const;
    std::vector<RegValue> values(std::string_view path) const;

    // Same keys, names (with their case), values and order.
    friend bool operator==(const Registry &a, const Registry &b);

    // Key handles the NT surface hands out. A handle is an opaque non-null
    // value, never reused within a registry, and never a real address. It
    // stays tied to the key it was opened on: once that key is deleted the
    // handle no longer reaches a key, even if one is recreated at that path.
    void *open_handle(std::string_view path);
    bool is_handle(const void *handle) const;
    // Whether `handle` has the form of a key handle, open or not.
    static bool is_key_handle_value(const void *handle);
    // The key's path (as its names are stored), or nullopt for a handle that
    // is not open or whose key has been deleted.
    std::optional<std::string> handle_key(const void *handle) const;
    bool close_handle(const void *handle);
    std::size_t open_handle_count() const;

  private:
    struct Key;
    Key *find(std::string_view path) const;
    Key &require(std::string_view path) const;
    Key &add_subkey(Key &parent, std::string_view name);
    std::string path_of(const Key &key) const;

    std::unique_ptr<Key> root_;
    std::uint64_t next_key_id_ = 1;
    struct OpenKey {
        std::uint64_t key_id;
    };
    std::map<std::uintptr_t, OpenKey> handles_;
    std::uintptr_t next_handle_ = 0;
};

} // namespace tolvanex::host
