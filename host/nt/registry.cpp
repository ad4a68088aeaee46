// The in-memory registry model and its text conversions.
#include "nt/registry.h"

#include <algorithm>
#include <cstdio>

namespace tolvanex::host {

namespace {

constexpr std::size_t kMaxKeyNameUnits = 255; // NT's limit for one key name

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z')
            x = static_cast<unsigned char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z')
            y = static_cast<unsigned char>(y - 'a' + 'A');
        if (x != y)
            return false;
    }
    return true;
}

std::string quoted(std::string_view s) {
    return "'" + std::string(s) + "'";
}

// The names below \Registry, or a HostError saying what is wrong with `path`.
std::vector<std::string_view> split_path(std::string_view path) {
    constexpr std::string_view kRoot = "\\Registry";
    if (path.size() < kRoot.size() || !same_name(path.substr(0, kRoot.size()), kRoot) ||
        (path.size() > kRoot.size() && path[kRoot.size()] != '\\'))
        throw HostError("registry path " + quoted(path) + " does not start with \\Registry");
    std::vector<std::string_view> names;
    std::size_t pos = kRoot.size();
    while (pos < path.size()) {
        std::size_t end = path.find('\\', pos + 1);
        if (end == std::string_view::npos)
            end = path.size();
        std::string_view name = path.substr(pos + 1, end - pos - 1);
        if (name.empty())
            throw HostError("registry path " + quoted(path) + " has an empty key name (doubled or trailing backslash)");
        if (reg::to_utf16(name).size() > kMaxKeyNameUnits)
            throw HostError("registry path " + quoted(path) + " has a key name over " +
                            std::to_string(kMaxKeyNameUnits) + " characters");
        names.push_back(name);
        pos = end;
    }
    if (!names.empty() && !same_name(names[0], "Machine") && !same_name(names[0], "User"))
        throw HostError("registry path " + quoted(path) + " is not under \\Registry\\Machine or \\Registry\\User");
    return names;
}

void append_utf16le(std::vector<std::uint8_t> &out, std::u16string_view text) {
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
}

// The UTF-16 units of `data`; an odd last byte is not a unit and is dropped.
std::u16string units_of(std::span<const std::uint8_t> data) {
    std::u16string units;
    for (std::size_t i = 0; i + 1 < data.size(); i += 2)
        units.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return units;
}

bool valid_utf16(std::u16string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] >= 0xD800 && s[i] <= 0xDBFF) {
            if (i + 1 >= s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF)
                return false;
            ++i;
        } else if (s[i] >= 0xDC00 && s[i] <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

} // namespace

// ---- Text conversions -------------------------------------------------------

namespace reg {

std::u16string to_utf16(std::string_view utf8) {
    std::u16string out;
    std::size_t i = 0;
    auto bad = [&] { return HostError("malformed UTF-8 at byte " + std::to_string(i) + " of " + quoted(utf8)); };
    while (i < utf8.size()) {
        auto b = static_cast<unsigned char>(utf8[i]);
        char32_t cp;
        std::size_t extra;
        if (b < 0x80) {
            cp = b;
            extra = 0;
        } else if ((b & 0xE0) == 0xC0) {
            cp = b & 0x1F;
            extra = 1;
        } else if ((b & 0xF0) == 0xE0) {
            cp = b & 0x0F;
            extra = 2;
        } else if ((b & 0xF8) == 0xF0) {
            cp = b & 0x07;
            extra = 3;
        } else {
            throw bad();
        }
        if (i + extra >= utf8.size())
            throw bad();
        for (std::size_t k = 1; k <= extra; ++k) {
            auto c = static_cast<unsigned char>(utf8[i + k]);
            if ((c & 0xC0) != 0x80)
                throw bad();
            cp = (cp << 6) | (c & 0x3F);
        }
        static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            throw bad();
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += extra + 1;
    }
    return out;
}

std::string to_utf8(std::u16string_view utf16) {
    std::string out;
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t cp = utf16[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            throw HostError("UTF-16 text has a lone surrogate at unit " + std::to_string(i));
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

std::vector<std::uint8_t> sz_bytes(std::string_view utf8) {
    std::u16string text = to_utf16(utf8);
    if (text.find(u'\0') != std::u16string::npos)
        throw HostError("string " + quoted(utf8) + " holds a NUL character");
    std::vector<std::uint8_t> out;
    append_utf16le(out, text);
    return out;
}

std::vector<std::uint8_t> multi_sz_bytes(const std::vector<std::string> &strings) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        if (strings[i].empty())
            throw HostError("multi-string entry " + std::to_string(i) + " is empty, which would end the list there");
        std::vector<std::uint8_t> one = sz_bytes(strings[i]);
        out.insert(out.end(), one.begin(), one.end());
    }
    out.push_back(0);
    out.push_back(0);
    return out;
}

std::string sz_text(std::span<const std::uint8_t> data) {
    std::u16string units = units_of(data);
    units.resize(std::min(units.size(), units.find(u'\0')));
    return to_utf8(units);
}

std::vector<std::string> multi_sz_strings(std::span<const std::uint8_t> data) {
    std::u16string units = units_of(data);
    std::vector<std::string> out;
    std::size_t pos = 0;
    while (pos < units.size()) {
        std::size_t end = std::min(units.size(), units.find(u'\0', pos));
        if (end == pos)
            break;
        out.push_back(to_utf8(std::u16string_view(units).substr(pos, end - pos)));
        pos = end + 1;
    }
    return out;
}

bool is_clean_sz(std::span<const std::uint8_t> data) {
    std::u16string units = units_of(data);
    return data.size() % 2 == 0 && !units.empty() && units.find(u'\0') == units.size() - 1 && valid_utf16(units);
}

bool is_clean_multi_sz(std::span<const std::uint8_t> data) {
    std::u16string units = units_of(data);
    if (data.size() % 2 != 0 || units.empty() || units.back() != u'\0' || !valid_utf16(units))
        return false;
    // NUL-terminated non-empty strings, then one more NUL, and nothing after.
    std::size_t pos = 0;
    while (units[pos] != u'\0')
        pos = units.find(u'\0', pos) + 1;
    return pos == units.size() - 1;
}

std::string type_name(std::uint32_t type) {
    switch (type) {
    case kRegNone: return "REG_NONE";
    case kRegSz: return "REG_SZ";
    case kRegExpandSz: return "REG_EXPAND_SZ";
    case kRegBinary: return "REG_BINARY";
    case kRegDword: return "REG_DWORD";
    case 5: return "REG_DWORD_BIG_ENDIAN";
    case 6: return "REG_LINK";
    case kRegMultiSz: return "REG_MULTI_SZ";
    case 11: return "REG_QWORD";
    default: {
        char buf[24];
        std::snprintf(buf, sizeof buf, "type 0x%x", static_cast<unsigned>(type));
        return buf;
    }
    }
}

} // namespace reg

// ---- The tree ---------------------------------------------------------------

struct Registry::Key {
    std::string name;
    Key *parent = nullptr;
    std::uint64_t id = 0;
    std::vector<std::unique_ptr<Key>> subkeys;
    std::vector<RegValue> values;

    Key *child(std::string_view n) const {
        for (const auto &k : subkeys)
            if (same_name(k->name, n))
                return k.get();
        return nullptr;
    }
    RegValue *value(std::string_view n) {
        for (auto &v : values)
            if (same_name(v.name, n))
                return &v;
        return nullptr;
    }
    const Key *with_id(std::uint64_t wanted) const {
        if (id == wanted)
            return this;
        for (const auto &k : subkeys)
            if (const Key *found = k->with_id(wanted))
                return found;
        return nullptr;
    }
};

namespace {

bool same_tree(const auto &a, const auto &b) {
    if (a.name != b.name || a.values != b.values || a.subkeys.size() != b.subkeys.size())
        return false;
    for (std::size_t i = 0; i < a.subkeys.size(); ++i)
        if (!same_tree(*a.subkeys[i], *b.subkeys[i]))
            return false;
    return true;
}

} // namespace

Registry::Registry() : root_(std::make_unique<Key>()) {
    root_->name = "Registry";
    root_->id = next_key_id_++;
    add_subkey(*root_, "Machine");
    add_subkey(*root_, "User");
}

Registry::~Registry() = default;

void Registry::check_path(std::string_view path) {
    split_path(path);
}

bool Registry::is_valid_path(std::string_view path) {
    try {
        split_path(path);
        return true;
    } catch (const HostError &) {
        return false;
    }
}

Registry::Key *Registry::find(std::string_view path) const {
    Key *key = root_.get();
    for (std::string_view name : split_path(path)) {
        key = key->child(name);
        if (!key)
            return nullptr;
    }
    return key;
}

Registry::Key &Registry::require(std::string_view path) const {
    Key *key = find(path);
    if (!key)
        throw HostError("registry has no key " + quoted(path));
    return *key;
}

Registry::Key &Registry::add_subkey(Key &parent, std::string_view name) {
    auto made = std::make_unique<Key>();
    made->name = std::string(name);
    made->parent = &parent;
    made->id = next_key_id_++;
    parent.subkeys.push_back(std::move(made));
    return *parent.subkeys.back();
}

std::string Registry::path_of(const Key &key) const {
    if (!key.parent)
        return "\\" + key.name;
    return path_of(*key.parent) + "\\" + key.name;
}

bool Registry::create_key(std::string_view path, bool with_parents) {
    std::vector<std::string_view> names = split_path(path);
    if (names.size() < 2)
        return false; // \Registry and its hives always exist
    Key *key = root_.get();
    bool created = false;
    for (std::size_t i = 0; i < names.size(); ++i) {
        Key *next = key->child(names[i]);
        if (!next) {
            if (i + 1 < names.size() && !with_parents)
                throw HostError("cannot create " + quoted(path) + ": its parent " +
                                quoted(path_of(*key) + "\\" + std::string(names[i])) + " does not exist");
            next = &add_subkey(*key, names[i]);
            created = true;
        }
        key = next;
    }
    return created;
}

bool Registry::key_exists(std::string_view path) const {
    return find(path) != nullptr;
}

std::string Registry::stored_path(std::string_view path) const {
    return path_of(require(path));
}

bool Registry::delete_key(std::string_view path) {
    if (split_path(path).size() < 2)
        throw HostError("cannot delete " + quoted(path) + ": it is a hive or the root");
    Key *key = find(path);
    if (!key)
        return false;
    auto &siblings = key->parent->subkeys;
    std::erase_if(siblings, [key](const auto &k) { return k.get() == key; });
    return true;
}

void Registry::set_value(std::string_view path, std::string_view name, std::uint32_t type,
                         std::vector<std::uint8_t> data) {
    if (split_path(path).empty())
        throw HostError("cannot set value " + quoted(name) + " on \\Registry itself");
    reg::to_utf16(name); // a name the NT side can read back
    create_key(path, true);
    Key &key = require(path);
    if (RegValue *v = key.value(name)) {
        v->type = type;
        v->data = std::move(data);
    } else {
        key.values.push_back(RegValue{std::string(name), type, std::move(data)});
    }
}

void Registry::set_sz(std::string_view path, std::string_view name, std::string_view text) {
    set_value(path, name, kRegSz, reg::sz_bytes(text));
}

void Registry::set_expand_sz(std::string_view path, std::string_view name, std::string_view text) {
    set_value(path, name, kRegExpandSz, reg::sz_bytes(text));
}

void Registry::set_dword(std::string_view path, std::string_view name, std::uint32_t value) {
    set_value(path, name, kRegDword,
              {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
               static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}

void Registry::set_multi_sz(std::string_view path, std::string_view name, const std::vector<std::string> &strings) {
    set_value(path, name, kRegMultiSz, reg::multi_sz_bytes(strings));
}

void Registry::set_binary(std::string_view path, std::string_view name, std::vector<std::uint8_t> data) {
    set_value(path, name, kRegBinary, std::move(data));
}

std::optional<RegValue> Registry::get_value(std::string_view path, std::string_view name) const {
    if (RegValue *v = require(path).value(name))
        return *v;
    return std::nullopt;
}

namespace {

const RegValue &expect_type(const RegValue &v, std::string_view path, std::initializer_list<std::uint32_t> types) {
    if (std::find(types.begin(), types.end(), v.type) == types.end())
        throw HostError("value " + quoted(v.name) + " of " + quoted(path) + " is " + reg::type_name(v.type) + ", not " +
                        reg::type_name(*types.begin()));
    return v;
}

} // namespace

std::optional<std::string> Registry::get_sz(std::string_view path, std::string_view name) const {
    std::optional<RegValue> v = get_value(path, name);
    if (!v)
        return std::nullopt;
    return reg::sz_text(expect_type(*v, path, {kRegSz, kRegExpandSz}).data);
}

std::optional<std::uint32_t> Registry::get_dword(std::string_view path, std::string_view name) const {
    std::optional<RegValue> v = get_value(path, name);
    if (!v)
        return std::nullopt;
    expect_type(*v, path, {kRegDword});
    if (v->data.size() != 4)
        throw HostError("value " + quoted(name) + " of " + quoted(path) + " is a REG_DWORD of " +
                        std::to_string(v->data.size()) + " bytes");
    return static_cast<std::uint32_t>(v->data[0] | (v->data[1] << 8) | (v->data[2] << 16) |
                                      (static_cast<std::uint32_t>(v->data[3]) << 24));
}

std::optional<std::vector<std::string>> Registry::get_multi_sz(std::string_view path, std::string_view name) const {
    std::optional<RegValue> v = get_value(path, name);
    if (!v)
        return std::nullopt;
    return reg::multi_sz_strings(expect_type(*v, path, {kRegMultiSz}).data);
}

bool Registry::delete_value(std::string_view path, std::string_view name) {
    Key &key = require(path);
    return std::erase_if(key.values, [name](const RegValue &v) { return same_name(v.name, name); }) > 0;
}

std::vector<std::string> Registry::subkeys(std::string_view path) const {
    std::vector<std::string> names;
    for (const auto &k : require(path).subkeys)
        names.push_back(k->name);
    return names;
}

std::vector<RegValue> Registry::values(std::string_view path) const {
    return require(path).values;
}

bool operator==(const Registry &a, const Registry &b) {
    return same_tree(*a.root_, *b.root_);
}

// ---- Handles ----------------------------------------------------------------

namespace {

// Handles carry a tag in their top bits so they can be neither a real address
// nor a small number another part of the host hands out.
constexpr unsigned kHandleTagShift = sizeof(std::uintptr_t) * 8 - 16;
constexpr std::uintptr_t kHandleTag = std::uintptr_t{0x5247} << kHandleTagShift;

std::uintptr_t handle_value(const void *handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

} // namespace

void *Registry::open_handle(std::string_view path) {
    Key &key = require(path);
    next_handle_ += 4;
    std::uintptr_t value = kHandleTag | next_handle_;
    handles_.emplace(value, OpenKey{key.id});
    return reinterpret_cast<void *>(value);
}

bool Registry::is_key_handle_value(const void *handle) {
    return (handle_value(handle) >> kHandleTagShift) == (kHandleTag >> kHandleTagShift);
}

bool Registry::is_handle(const void *handle) const {
    return handles_.contains(handle_value(handle));
}

std::optional<std::string> Registry::handle_key(const void *handle) const {
    auto it = handles_.find(handle_value(handle));
    if (it == handles_.end())
        return std::nullopt;
    const Key *key = root_->with_id(it->second.key_id);
    if (!key)
        return std::nullopt;
    return path_of(*key);
}

bool Registry::close_handle(const void *handle) {
    return handles_.erase(handle_value(handle)) > 0;
}

std::size_t Registry::open_handle_count() const {
    return handles_.size();
}

} // namespace tolvanex::host
