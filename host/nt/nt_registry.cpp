// The registry calls of the NT executive, as the driver sees them, over the
// host's in-memory registry. Each call checks PASSIVE_LEVEL, may be made to
// fail by fault injection (site = the call's name), and leaves one trace
// record with its path, value, type and status.
//
// Nothing here throws into driver code: bad arguments and bad paths become
// NT statuses, and only a verifier stop unwinds through.
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "host.h"
#include "ntkernel.h"
#include "nt/registry.h"
#include "runtime.h"

#ifndef STATUS_KEY_DELETED
#define STATUS_KEY_DELETED ((NTSTATUS)0xC000017CL)
#endif
#ifndef STATUS_OBJECT_PATH_SYNTAX_BAD
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#endif

namespace tolvanex::host {
namespace {

constexpr ULONG kPartialHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);

std::string q(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

// A readable rendering of a value's data for the trace.
std::string describe(std::uint32_t type, const std::vector<std::uint8_t> &data) {
    std::string out = reg::type_name(type);
    try {
        if (type == kRegSz || type == kRegExpandSz) {
            std::string text = reg::sz_text(data);
            if (text.size() > 60)
                text = text.substr(0, 57) + "...";
            return out + " " + q(text);
        }
        if (type == kRegMultiSz) {
            out += " [";
            std::vector<std::string> strings = reg::multi_sz_strings(data);
            for (std::size_t i = 0; i < strings.size(); ++i)
                out += (i ? ", " : "") + q(strings[i]);
            return out + "]";
        }
    } catch (const HostError &) {
        // Not text after all; fall through to the byte count.
    }
    if (type == kRegDword && data.size() == 4) {
        std::uint32_t v;
        std::memcpy(&v, data.data(), 4);
        return out + " " + std::to_string(v);
    }
    return out + " " + std::to_string(data.size()) + " bytes";
}

// UTF-8 of NT's counted or NUL-terminated strings; nullopt when the text
// cannot be a registry name (odd length, lone surrogate).
std::optional<std::string> text_of(const UNICODE_STRING *s) {
    if (!s || s->Length % 2 != 0 || (s->Length && !s->Buffer))
        return std::nullopt;
    try {
        return reg::to_utf8(std::u16string_view(s->Buffer, s->Length / 2));
    } catch (const HostError &) {
        return std::nullopt;
    }
}

std::optional<std::string> text_of(PCWSTR s) {
    if (!s)
        return std::string();
    try {
        return reg::to_utf8(std::u16string_view(s));
    } catch (const HostError &) {
        return std::nullopt;
    }
}

Registry *registry() {
    Host *host = Host::current_or_null();
    return host ? &host->registry() : nullptr;
}

// Why an absolute path cannot name a key, as the object manager would say.
NTSTATUS check_path(const std::string &path) {
    if (path.empty() || path.front() != '\\')
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    if (path.back() == '\\' || path.find("\\\\") != std::string::npos)
        return STATUS_OBJECT_NAME_INVALID;
    if (!Registry::is_valid_path(path))
        return STATUS_OBJECT_NAME_NOT_FOUND; // outside \Registry's hives
    return STATUS_SUCCESS;
}

const char *relative_base(ULONG relative_to) {
    switch (relative_to) {
    case RTL_REGISTRY_SERVICES: return "\\Registry\\Machine\\System\\CurrentControlSet\\Services";
    case RTL_REGISTRY_CONTROL: return "\\Registry\\Machine\\System\\CurrentControlSet\\Control";
    case RTL_REGISTRY_WINDOWS_NT: return "\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
    case RTL_REGISTRY_DEVICEMAP: return "\\Registry\\Machine\\Hardware\\DeviceMap";
    case RTL_REGISTRY_USER: return "\\Registry\\User\\.Default"; // system threads run as the default user
    default: return nullptr;
    }
}

// The absolute key path an Rtl registry call names. A relative path is
// joined to its base with one backslash, so a leading backslash in it makes
// a doubled one and is refused, as NT refuses it.
struct Resolved {
    NTSTATUS status = STATUS_SUCCESS;
    std::string path;
};

Resolved resolve(Registry &reg, ULONG relative_to, PCWSTR path) {
    ULONG base = relative_to & ~RTL_REGISTRY_OPTIONAL;
    if (base & RTL_REGISTRY_HANDLE) {
        auto *handle = const_cast<char16_t *>(path);
        if (!reg.is_handle(handle))
            return {STATUS_INVALID_HANDLE, "handle"};
        std::optional<std::string> key = reg.handle_key(handle);
        return key ? Resolved{STATUS_SUCCESS, *key} : Resolved{STATUS_KEY_DELETED, "handle"};
    }
    std::optional<std::string> rest = text_of(path);
    if (!rest)
        return {STATUS_OBJECT_NAME_INVALID, "(bad name)"};
    Resolved r;
    if (base == RTL_REGISTRY_ABSOLUTE) {
        if (!path)
            return {STATUS_INVALID_PARAMETER, "(no path)"};
        r.path = *rest;
    } else if (const char *prefix = relative_base(base)) {
        r.path = prefix;
        if (!rest->empty())
            r.path += "\\" + *rest;
    } else {
        return {STATUS_INVALID_PARAMETER, "(RelativeTo " + std::to_string(relative_to) + ")"};
    }
    r.status = check_path(r.path);
    return r;
}

// Creates the key at `path` when its parent exists, as ZwCreateKey does.
NTSTATUS create_key(Registry &reg, const std::string &path, bool *created = nullptr) {
    if (reg.key_exists(path))
        return STATUS_SUCCESS;
    std::string parent = path.substr(0, path.rfind('\\'));
    if (!reg.key_exists(parent))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    reg.create_key(path, false);
    if (created)
        *created = true;
    return STATUS_SUCCESS;
}

// Runs `body`, turning the model's errors into statuses; a verifier stop
// passes through.
template <typename Body> NTSTATUS guarded(Body &&body) {
    try {
        return body();
    } catch (const HostError &) {
        return STATUS_INVALID_PARAMETER;
    } catch (const std::bad_alloc &) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
}

// One trace record per call: "<call> <what> -> <status>".
NTSTATUS traced(const char *call, const std::string &what, NTSTATUS status) {
    rt::trace(TraceKind::Registry, "registry", "{call} {what} -> {status}",
              {tf::text("call", call), tf::text("what", what),
               tf::named("status", static_cast<std::uint32_t>(status), nt_status_name(static_cast<std::uint32_t>(status)))});
    return status;
}

} // namespace
} // namespace tolvanex::host

namespace th = tolvanex::host;
namespace rt = tolvanex::host::rt;

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes) {
    (void)DesiredAccess; // every key may be read and written here
    rt::require_passive("ZwOpenKey");
    std::optional<std::string> name = ObjectAttributes ? th::text_of(ObjectAttributes->ObjectName) : std::nullopt;
    std::string what = th::q(name.value_or("(bad name)"));
    if (KeyHandle)
        *KeyHandle = nullptr;
    if (rt::fault("ZwOpenKey"))
        return th::traced("ZwOpenKey", what, STATUS_INSUFFICIENT_RESOURCES);
    th::Registry *reg = th::registry();
    if (!reg || !KeyHandle || !ObjectAttributes || !ObjectAttributes->ObjectName)
        return th::traced("ZwOpenKey", what, STATUS_INVALID_PARAMETER);
    if (!name)
        return th::traced("ZwOpenKey", what, STATUS_OBJECT_NAME_INVALID);
    NTSTATUS status = th::guarded([&]() -> NTSTATUS {
        std::string path = *name;
        if (HANDLE root = ObjectAttributes->RootDirectory) {
            if (!reg->is_handle(root))
                return STATUS_INVALID_HANDLE;
            std::optional<std::string> base = reg->handle_key(root);
            if (!base)
                return STATUS_KEY_DELETED;
            path = name->empty() ? *base : *base + "\\" + *name;
            what = th::q(path);
        }
        // The object manager accepts one trailing separator on a key name.
        if (path.size() > 1 && path.back() == '\\' && path[path.size() - 2] != '\\')
            path.pop_back();
        if (NTSTATUS bad = th::check_path(path); bad != STATUS_SUCCESS)
            return bad;
        if (!reg->key_exists(path))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        *KeyHandle = reg->open_handle(path);
        return STATUS_SUCCESS;
    });
    return th::traced("ZwOpenKey", what, status);
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                                          KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                          PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) {
    rt::require_passive("ZwQueryValueKey");
    th::Registry *reg = th::registry();
    std::optional<std::string> key = reg ? reg->handle_key(KeyHandle) : std::nullopt;
    std::optional<std::string> name = th::text_of(ValueName);
    std::string what = (key ? th::q(*key) : std::string("(bad handle)")) + " " + th::q(name.value_or("(bad name)"));
    if (rt::fault("ZwQueryValueKey"))
        return th::traced("ZwQueryValueKey", what, STATUS_INSUFFICIENT_RESOURCES);
    if (!reg || !reg->is_handle(KeyHandle))
        return th::traced("ZwQueryValueKey", what, STATUS_INVALID_HANDLE);
    if (!key)
        return th::traced("ZwQueryValueKey", what, STATUS_KEY_DELETED);
    if (KeyValueInformationClass != KeyValuePartialInformation || !ResultLength || !ValueName ||
        (Length && !KeyValueInformation))
        return th::traced("ZwQueryValueKey", what, STATUS_INVALID_PARAMETER);
    if (!name)
        return th::traced("ZwQueryValueKey", what, STATUS_OBJECT_NAME_INVALID);
    NTSTATUS status = th::guarded([&]() -> NTSTATUS {
        *ResultLength = 0;
        std::optional<th::RegValue> value = reg->get_value(*key, *name);
        if (!value) {
            what += " missing";
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        auto size = static_cast<ULONG>(value->data.size());
        what += " " + th::describe(value->type, value->data) + " (buffer " + std::to_string(Length) + ")";
        *ResultLength = th::kPartialHeader + size;
        if (Length < th::kPartialHeader)
            return STATUS_BUFFER_TOO_SMALL;
        // The caller's buffer need not be aligned: fill it bytewise.
        const ULONG header[3] = {0, value->type, size};
        std::memcpy(KeyValueInformation, header, sizeof header);
        if (Length < th::kPartialHeader + size)
            return STATUS_BUFFER_OVERFLOW;
        if (size)
            std::memcpy(static_cast<UCHAR *>(KeyValueInformation) + th::kPartialHeader, value->data.data(), size);
        return STATUS_SUCCESS;
    });
    return th::traced("ZwQueryValueKey", what, status);
}

extern "C" NTSTATUS NTAPI ZwClose(HANDLE Handle) {
    rt::require_passive("ZwClose");
    th::Registry *reg = th::registry();
    bool key_handle = th::Registry::is_key_handle_value(Handle);
    std::optional<std::string> key = reg ? reg->handle_key(Handle) : std::nullopt;
    std::string what = key ? th::q(*key) : "key handle";
    if (!key_handle && Handle)
        return static_cast<NTSTATUS>(rt::close_other_handle(Handle));
    if (!reg || !reg->close_handle(Handle))
        return th::traced("ZwClose", Handle ? what : "NULL", STATUS_INVALID_HANDLE);
    return th::traced("ZwClose", what, STATUS_SUCCESS);
}

extern "C" NTSTATUS NTAPI RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    rt::require_passive("RtlCreateRegistryKey");
    th::Registry *reg = th::registry();
    if (!reg)
        return STATUS_UNSUCCESSFUL;
    th::Resolved r;
    NTSTATUS status = th::guarded([&] {
        r = th::resolve(*reg, RelativeTo, Path);
        return STATUS_SUCCESS;
    });
    std::string what = th::q(r.path);
    if (rt::fault("RtlCreateRegistryKey"))
        return th::traced("RtlCreateRegistryKey", what, STATUS_INSUFFICIENT_RESOURCES);
    if (status == STATUS_SUCCESS)
        status = r.status;
    if (status == STATUS_SUCCESS) {
        status = th::guarded([&] {
            bool created = false;
            NTSTATUS s = th::create_key(*reg, r.path, &created);
            if (s == STATUS_SUCCESS)
                what += created ? " created" : " exists";
            return s;
        });
    }
    return th::traced("RtlCreateRegistryKey", what, status);
}

extern "C" NTSTATUS NTAPI RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                                                PVOID ValueData, ULONG ValueLength) {
    rt::require_passive("RtlWriteRegistryValue");
    th::Registry *reg = th::registry();
    if (!reg)
        return STATUS_UNSUCCESSFUL;
    th::Resolved r;
    std::vector<std::uint8_t> data;
    std::optional<std::string> name;
    NTSTATUS status = th::guarded([&] {
        r = th::resolve(*reg, RelativeTo, Path);
        name = th::text_of(ValueName);
        if (ValueData)
            data.assign(static_cast<const std::uint8_t *>(ValueData),
                        static_cast<const std::uint8_t *>(ValueData) + ValueLength);
        return STATUS_SUCCESS;
    });
    std::string what = th::q(r.path) + " " + th::q(name.value_or("(bad name)")) + " " + th::describe(ValueType, data);
    if (rt::fault("RtlWriteRegistryValue"))
        return th::traced("RtlWriteRegistryValue", what, STATUS_INSUFFICIENT_RESOURCES);
    if (status == STATUS_SUCCESS)
        status = r.status;
    if (status == STATUS_SUCCESS && (!ValueData && ValueLength))
        status = STATUS_INVALID_PARAMETER;
    if (status == STATUS_SUCCESS && !name)
        status = STATUS_OBJECT_NAME_INVALID;
    if (status == STATUS_SUCCESS) {
        status = th::guarded([&] {
            NTSTATUS s = th::create_key(*reg, r.path);
            if (s == STATUS_SUCCESS)
                reg->set_value(r.path, *name, ValueType, std::move(data));
            return s;
        });
    }
    return th::traced("RtlWriteRegistryValue", what, status);
}

// ---- RtlQueryRegistryValues ---------------------------------------------------

namespace tolvanex::host {
namespace {

// Byte length of NUL-terminated default data given with DefaultLength 0.
ULONG default_length(ULONG type, const void *data) {
    const auto *s = static_cast<const char16_t *>(data);
    std::size_t n = 0;
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        n = std::char_traits<char16_t>::length(s) + 1;
    } else if (type == REG_MULTI_SZ) {
        while (s[n])
            n += std::char_traits<char16_t>::length(s + n) + 1;
        n += 1; // the empty string that ends the list
    }
    return static_cast<ULONG>(n * 2);
}

// One run of a query table over the registry, entry by entry, as NT does it.
class Query {
  public:
    // `exists` is false for an optional key that is missing.
    Query(Registry &reg, std::string top, bool exists, PVOID context)
        : reg_(reg), top_(std::move(top)), top_exists_(exists), context_(context) {
        if (exists)
            current_ = top_;
    }

    NTSTATUS run(PRTL_QUERY_REGISTRY_TABLE table) {
        for (auto *e = table; e->QueryRoutine || e->Name; ++e)
            if (NTSTATUS s = entry(*e); s != STATUS_SUCCESS)
                return s;
        return STATUS_SUCCESS;
    }

    std::string notes;

  private:
    void note(const std::string &text) { notes += (notes.empty() ? "" : "; ") + text; }

    NTSTATUS entry(RTL_QUERY_REGISTRY_TABLE &e) {
        std::optional<std::string> name = text_of(e.Name);
        if (!name)
            return STATUS_OBJECT_NAME_INVALID;
        if (e.Flags & RTL_QUERY_REGISTRY_TOPKEY)
            current_ = top_exists_ ? std::optional(top_) : std::nullopt;
        if (e.Flags & RTL_QUERY_REGISTRY_SUBKEY) {
            // Names a key below the top key; later entries read it.
            if (!e.Name)
                return STATUS_INVALID_PARAMETER;
            std::string path = top_ + "\\" + *name;
            if (NTSTATUS bad = check_path(path); bad != STATUS_SUCCESS)
                return bad;
            bool found = top_exists_ && reg_.key_exists(path);
            note("subkey " + q(*name) + (found ? "" : " missing"));
            if (!found && (e.Flags & RTL_QUERY_REGISTRY_REQUIRED))
                return STATUS_OBJECT_NAME_NOT_FOUND;
            current_ = found ? std::optional(path) : std::nullopt;
            return e.QueryRoutine ? all_values(e) : STATUS_SUCCESS;
        }
        if (!e.QueryRoutine && !(e.Flags & RTL_QUERY_REGISTRY_DIRECT))
            return STATUS_SUCCESS;
        if (!e.Name)
            return (e.Flags & RTL_QUERY_REGISTRY_DIRECT) ? STATUS_INVALID_PARAMETER : all_values(e);
        return named_value(e, *name);
    }

    NTSTATUS named_value(RTL_QUERY_REGISTRY_TABLE &e, const std::string &name) {
        std::optional<RegValue> v = current_ ? reg_.get_value(*current_, name) : std::nullopt;
        if (v) {
            note(q(name) + " " + describe(v->type, v->data));
            NTSTATUS s = deliver(e, e.Name, v->type, v->data);
            if (s == STATUS_SUCCESS && (e.Flags & RTL_QUERY_REGISTRY_DELETE))
                reg_.delete_value(*current_, name);
            return s;
        }
        if (e.Flags & RTL_QUERY_REGISTRY_REQUIRED) {
            note(q(name) + " missing (required)");
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        if (e.DefaultType == REG_NONE || !e.DefaultData) {
            note(q(name) + " missing");
            return STATUS_SUCCESS;
        }
        ULONG length = e.DefaultLength ? e.DefaultLength : default_length(e.DefaultType, e.DefaultData);
        const auto *bytes = static_cast<const std::uint8_t *>(e.DefaultData);
        std::vector<std::uint8_t> data(bytes, bytes + length);
        note(q(name) + " missing, default " + describe(e.DefaultType, data));
        return deliver(e, e.Name, e.DefaultType, data);
    }

    // Every value of the current key, or one bare call with NOVALUE.
    NTSTATUS all_values(RTL_QUERY_REGISTRY_TABLE &e) {
        if (e.Flags & RTL_QUERY_REGISTRY_NOVALUE) {
            note("callback");
            return e.QueryRoutine(e.Name, REG_NONE, nullptr, 0, context_, e.EntryContext);
        }
        std::vector<RegValue> values = current_ ? reg_.values(*current_) : std::vector<RegValue>{};
        note("all values (" + std::to_string(values.size()) + ")");
        if (values.empty() && (e.Flags & RTL_QUERY_REGISTRY_REQUIRED))
            return STATUS_OBJECT_NAME_NOT_FOUND;
        for (const RegValue &v : values) {
            std::u16string name = reg::to_utf16(v.name);
            if (NTSTATUS s = deliver(e, name.data(), v.type, v.data); s != STATUS_SUCCESS)
                return s;
            if (e.Flags & RTL_QUERY_REGISTRY_DELETE)
                reg_.delete_value(*current_, v.name);
        }
        return STATUS_SUCCESS;
    }

    // Hands one value to the entry: a multi-string string by string and an
    // expandable string as a plain one (the host has no environment to
    // expand from), unless NOEXPAND asks for the stored form.
    NTSTATUS deliver(RTL_QUERY_REGISTRY_TABLE &e, PWSTR name, ULONG type, const std::vector<std::uint8_t> &data) {
        // A copy the callee may scribble on, NUL-padded so that string
        // routines stop inside it even when the stored data are unterminated.
        std::vector<char16_t> buf(data.size() / 2 + 2, u'\0');
        if (!data.empty())
            std::memcpy(buf.data(), data.data(), data.size());
        auto length = static_cast<ULONG>(data.size());
        bool expand = !(e.Flags & RTL_QUERY_REGISTRY_NOEXPAND);
        if (type == REG_MULTI_SZ && expand) {
            std::size_t units = data.size() / 2;
            for (std::size_t pos = 0; pos < units && buf[pos];) {
                std::size_t end = pos;
                while (end < units && buf[end])
                    ++end;
                auto bytes = static_cast<ULONG>((end - pos + 1) * 2);
                if (NTSTATUS s = one(e, name, REG_SZ, &buf[pos], bytes); !NT_SUCCESS(s))
                    return s;
                pos = end + 1;
            }
            return STATUS_SUCCESS;
        }
        if (type == REG_EXPAND_SZ && expand)
            type = REG_SZ;
        NTSTATUS s = one(e, name, type, buf.data(), length);
        return NT_SUCCESS(s) ? STATUS_SUCCESS : s;
    }

    NTSTATUS one(RTL_QUERY_REGISTRY_TABLE &e, PWSTR name, ULONG type, char16_t *data, ULONG length) {
        if (!(e.Flags & RTL_QUERY_REGISTRY_DIRECT))
            return e.QueryRoutine(name, type, data, length, context_, e.EntryContext);
        if (!e.EntryContext)
            return STATUS_INVALID_PARAMETER;
        if (type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ) {
            // Into the caller's UNICODE_STRING; the host has no pool to give
            // one a buffer, so it must come with its own.
            auto *us = static_cast<UNICODE_STRING *>(e.EntryContext);
            std::size_t units = length / 2;
            if (type != REG_MULTI_SZ)
                units =
                    std::char_traits<char16_t>::length(data) < units ? std::char_traits<char16_t>::length(data) : units;
            else if (units && !data[units - 1])
                --units; // the final NUL of the list is not part of the text
            if (!us->Buffer)
                return STATUS_INVALID_PARAMETER;
            if (units * 2 > us->MaximumLength)
                return STATUS_BUFFER_TOO_SMALL;
            std::memcpy(us->Buffer, data, units * 2);
            us->Length = static_cast<USHORT>(units * 2);
            if (us->Length + 2u <= us->MaximumLength)
                us->Buffer[units] = u'\0';
            return STATUS_SUCCESS;
        }
        if (length <= sizeof(ULONG)) {
            std::memcpy(e.EntryContext, data, length);
            return STATUS_SUCCESS;
        }
        // Larger data: the buffer starts with its size; a negative size asks
        // for the bare data, a positive one for length and type before it.
        LONG size;
        std::memcpy(&size, e.EntryContext, sizeof size);
        auto *out = static_cast<std::uint8_t *>(e.EntryContext);
        if (size < 0) {
            if (length > static_cast<ULONG>(-static_cast<std::int64_t>(size)))
                return STATUS_BUFFER_TOO_SMALL;
            std::memcpy(out, data, length);
            return STATUS_SUCCESS;
        }
        if (length + 2 * sizeof(ULONG) > static_cast<ULONG>(size))
            return STATUS_BUFFER_TOO_SMALL;
        const ULONG head[2] = {length, type};
        std::memcpy(out, head, sizeof head);
        std::memcpy(out + sizeof head, data, length);
        return STATUS_SUCCESS;
    }

    Registry &reg_;
    std::string top_;
    bool top_exists_;
    std::optional<std::string> current_; // the key entries read now
    PVOID context_;
};

} // namespace
} // namespace tolvanex::host

extern "C" NTSTATUS NTAPI RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable,
                                                 PVOID Context, PVOID Environment) {
    (void)Environment; // nothing to expand: see Query::deliver
    rt::require_passive("RtlQueryRegistryValues");
    th::Registry *reg = th::registry();
    if (!reg)
        return STATUS_UNSUCCESSFUL;
    th::Resolved r;
    NTSTATUS status = th::guarded([&] {
        r = th::resolve(*reg, RelativeTo, Path);
        return STATUS_SUCCESS;
    });
    std::string what = th::q(r.path);
    if (rt::fault("RtlQueryRegistryValues"))
        return th::traced("RtlQueryRegistryValues", what, STATUS_INSUFFICIENT_RESOURCES);
    if (status == STATUS_SUCCESS)
        status = QueryTable ? r.status : STATUS_INVALID_PARAMETER;
    if (status != STATUS_SUCCESS)
        return th::traced("RtlQueryRegistryValues", what, status);
    // An optional key that is missing reads as an empty one: defaults still
    // apply and required entries still fail.
    bool exists = reg->key_exists(r.path);
    if (!exists) {
        what += " missing";
        if (!(RelativeTo & RTL_REGISTRY_OPTIONAL))
            return th::traced("RtlQueryRegistryValues", what, STATUS_OBJECT_NAME_NOT_FOUND);
    }
    th::Query query(*reg, r.path, exists, Context);
    status = th::guarded([&] { return query.run(QueryTable); });
    if (!query.notes.empty())
        what += ": " + query.notes;
    return th::traced("RtlQueryRegistryValues", what, status);
}
