// The NT registry calls the driver makes: ZwOpenKey, ZwQueryValueKey,
// ZwClose and the Rtl registry routines, on the host's registry.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include "host.h"
#include "host_faults.h"
#include "host_records.h"
#include "host_registry.h"
#include "ntkernel.h"

namespace {

using namespace tolvanex::host;
using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

constexpr const char *kParams = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Parameters";
constexpr const char *kRas = "\\Registry\\Machine\\Software\\Microsoft\\RAS\\TAPI DEVICES\\TOLVANEX";
constexpr const char *kDeviceMap = "\\Registry\\Machine\\Hardware\\DeviceMap";


struct Name {
    explicit Name(std::u16string s) : text(std::move(s)) {
        us.Length = static_cast<USHORT>(text.size() * 2);
        us.MaximumLength = us.Length;
        us.Buffer = text.data();
    }
    Name(const Name &) = delete;
    std::u16string text;
    UNICODE_STRING us{};
};

NTSTATUS open_key(const std::u16string &path, HANDLE *handle) {
    Name name(path);
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name.us, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    return ZwOpenKey(handle, KEY_READ, &oa);
}

const std::u16string kParamsW = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Parameters";

// What a query routine was handed, call by call.
struct Call {
    std::u16string name;
    ULONG type;
    Bytes data;
    void *entry_context;
};

struct Recorder {
    std::vector<Call> calls;
    NTSTATUS answer = STATUS_SUCCESS;

    static NTSTATUS NTAPI routine(PWSTR name, ULONG type, PVOID data, ULONG length, PVOID context,
                                  PVOID entry_context) {
        auto *self = static_cast<Recorder *>(context);
        const auto *bytes = static_cast<const std::uint8_t *>(data);
        self->calls.push_back(Call{name ? std::u16string(name) : u"(null)", type,
                                   bytes ? Bytes(bytes, bytes + length) : Bytes{}, entry_context});
        return self->answer;
    }
};

// A table entry calling the recorder (or, with DIRECT, storing into `entry_context`).
RTL_QUERY_REGISTRY_TABLE entry(ULONG flags, const char16_t *name, void *entry_context = nullptr) {
    return {(flags & RTL_QUERY_REGISTRY_DIRECT) ? nullptr : Recorder::routine,
            flags,
            const_cast<PWSTR>(name),
            entry_context,
            REG_NONE,
            nullptr,
            0};
}

const char16_t *const kRasW = u"\\Registry\\Machine\\Software\\Microsoft\\RAS\\TAPI DEVICES\\TOLVANEX";

std::u16string text_of(const Bytes &b) {
    std::u16string s(b.size() / 2, u'\0');
    std::memcpy(s.data(), b.data(), s.size() * 2);
    return s;
}

TEST(NtRegistry, ValueOverThe400BytePartialInformationBufferFails) {
    Host host;
    Registry &r = host.registry();
    r.set_value(kParams, "Fits", kRegBinary, Bytes(388, 0xab));
    r.set_value(kParams, "TooBig", kRegBinary, Bytes(389, 0xcd));
    HANDLE key = nullptr;
    ASSERT_EQ(open_key(kParamsW, &key), STATUS_SUCCESS);

    alignas(4) UCHAR buffer[400];
    auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer);
    ULONG result = 0;
    Name fits(u"FITS");
    ASSERT_EQ(ZwQueryValueKey(key, &fits.us, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 400u);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_BINARY));
    EXPECT_EQ(info->DataLength, 388u);
    EXPECT_EQ(info->Data[387], 0xab);

    std::memset(buffer, 0x55, sizeof buffer);
    Name big(u"TooBig");
    EXPECT_EQ(ZwQueryValueKey(key, &big.us, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_FALSE(NT_SUCCESS(STATUS_BUFFER_OVERFLOW));
    EXPECT_EQ(result, 401u);
    EXPECT_EQ(info->DataLength, 389u); // the header is filled, the data are not
    EXPECT_EQ(info->Data[0], 0x55);

    EXPECT_EQ(ZwQueryValueKey(key, &big.us, KeyValuePartialInformation, buffer, 11, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 401u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
}

TEST(NtRegistry, QueryValueKeyAnswersLikeNt) {
    Host host;
    Registry &r = host.registry();
    r.set_dword(kParams, "Timeout", 300);
    r.set_sz(kParams, "Trace", "Full");
    HANDLE key = nullptr;
    ASSERT_EQ(open_key(u"\\REGISTRY\\MACHINE\\system\\CurrentControlSet\\Services\\tolvanex\\"
                       u"PARAMETERS",
                       &key),
              STATUS_SUCCESS);
    UCHAR buffer[64];
    auto *info = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(buffer);
    ULONG result = 0;

    Name trace(u"trace");
    ASSERT_EQ(ZwQueryValueKey(key, &trace.us, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(info->Type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(info->DataLength, 10u);
    EXPECT_EQ(result, 12u + 10u);
    EXPECT_EQ(std::memcmp(info->Data, u"Full", 10), 0);

    Name missing(u"Missing");
    EXPECT_EQ(ZwQueryValueKey(key, &missing.us, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(ZwQueryValueKey(key, &trace.us, KeyValueBasicInformation, buffer, sizeof buffer, &result),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ZwQueryValueKey(nullptr, &trace.us, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_INVALID_HANDLE);

    // A key deleted under an open handle: reads fail, the handle still closes.
    r.delete_key(kParams);
    r.set_dword(kParams, "Timeout", 1); // a new key at the same path is another key
    EXPECT_EQ(ZwQueryValueKey(key, &trace.us, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              static_cast<NTSTATUS>(0xC000017C)); // STATUS_KEY_DELETED
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(r.open_handle_count(), 0u);
}

TEST(NtRegistry, OpenKeyRefusesMissingKeysAndBadPaths) {
    Host host;
    host.registry().create_key(kParams);
    HANDLE key = reinterpret_cast<HANDLE>(1);
    EXPECT_EQ(open_key(u"\\Registry\\Machine\\System\\Nope", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(open_key(u"\\Registry\\Machine\\Nope\\Deeper", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(open_key(kParamsW + u"\\\\", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(open_key(u"\\Registry\\Machine\\\\System", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(open_key(u"Registry\\Machine", &key), static_cast<NTSTATUS>(0xC000003B));
    EXPECT_EQ(open_key(u"\\Device\\PIMISDND", &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(open_key(u"\\Registry\\Machine\\\xD800", &key), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(host.registry().open_handle_count(), 0u);
    // One trailing separator is accepted, as the object manager does.
    EXPECT_EQ(open_key(kParamsW + u"\\", &key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);

    // Relative to an open key.
    HANDLE services = nullptr;
    ASSERT_EQ(open_key(u"\\Registry\\Machine\\System\\CurrentControlSet\\Services", &services), STATUS_SUCCESS);
    Name rest(u"Tolvanex\\Parameters");
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &rest.us, OBJ_CASE_INSENSITIVE, services, nullptr);
    ASSERT_EQ(ZwOpenKey(&key, KEY_READ, &oa), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(services), STATUS_SUCCESS);
}

TEST(NtRegistry, CloseRefusesBadAndClosedHandles) {
    Host host;
    host.registry().create_key(kParams);
    HANDLE key = nullptr;
    ASSERT_EQ(open_key(kParamsW, &key), STATUS_SUCCESS);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(host.registry().open_handle_count(), 1u);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_INVALID_HANDLE);
    EXPECT_EQ(ZwClose(nullptr), STATUS_INVALID_HANDLE);
    int not_a_handle = 0;
    EXPECT_EQ(ZwClose(&not_a_handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(host.registry().open_handle_count(), 0u);

    // Handles are never reused, so a stale one cannot close a newer key.
    HANDLE again = nullptr;
    ASSERT_EQ(open_key(kParamsW, &again), STATUS_SUCCESS);
    EXPECT_NE(again, key);
    EXPECT_EQ(ZwClose(again), STATUS_SUCCESS);
}

TEST(NtRegistry, QueryCallsTheRoutineOncePerStringOfAMultiString) {
    Host host;
    host.registry().set_multi_sz(kRas, "Address", {"1-02-00", "1-01-00"});
    host.registry().set_multi_sz(kRas, "Usage", {"Client"});
    Recorder rec;
    int address_tag = 0, usage_tag = 1;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0] = entry(RTL_QUERY_REGISTRY_REQUIRED, u"Address", &address_tag);
    table[1] = entry(RTL_QUERY_REGISTRY_REQUIRED, u"Usage", &usage_tag);
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kRasW, table, &rec, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(rec.calls.size(), 3u);
    EXPECT_EQ(rec.calls[0].name, u"Address");
    EXPECT_EQ(rec.calls[0].type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(text_of(rec.calls[0].data), std::u16string(u"1-02-00", 8)); // with its NUL
    EXPECT_EQ(rec.calls[0].entry_context, &address_tag);
    EXPECT_EQ(text_of(rec.calls[1].data), std::u16string(u"1-01-00", 8));
    EXPECT_EQ(rec.calls[2].name, u"Usage");
    EXPECT_EQ(rec.calls[2].entry_context, &usage_tag);

    // NOEXPAND hands the list over whole.
    rec.calls.clear();
    table[0].Flags |= RTL_QUERY_REGISTRY_NOEXPAND;
    table[1] = {};
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kRasW, table, &rec, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(rec.calls.size(), 1u);
    EXPECT_EQ(rec.calls[0].type, static_cast<ULONG>(REG_MULTI_SZ));
    EXPECT_EQ(rec.calls[0].data.size(), 34u);
}

TEST(NtRegistry, QueryFailsOnAMissingRequiredEntryOrKey) {
    Host host;
    host.registry().set_multi_sz(kRas, "Address", {"1-01-00"});
    Recorder rec;
    RTL_QUERY_REGISTRY_TABLE table[3] = {};
    table[0] = entry(RTL_QUERY_REGISTRY_REQUIRED, u"Usage");
    table[1] = entry(RTL_QUERY_REGISTRY_REQUIRED, u"Address");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kRasW, table, &rec, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(rec.calls.empty()); // the query stopped at the missing entry

    // Not required: skipped, and the rest of the table goes on.
    table[0].Flags = 0;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kRasW, table, &rec, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(rec.calls.size(), 1u);

    rec.calls.clear();
    host.registry().delete_key(kRas);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kRasW, table, &rec, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
    // An optional key reads as empty: the required entry still fails.
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, kRasW, table, &rec, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    table[1].Flags = 0;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, kRasW, table, &rec, nullptr),
              STATUS_SUCCESS);
    EXPECT_TRUE(rec.calls.empty());
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kRasW, nullptr, &rec, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_MAXIMUM, u"x", table, &rec, nullptr), STATUS_INVALID_PARAMETER);
}

TEST(NtRegistry, QueryStopsAtTheFirstFailingRoutine) {
    Host host;
    host.registry().set_multi_sz(kRas, "Address", {"a", "b", "c"});
    Recorder rec;
    rec.answer = STATUS_INSUFFICIENT_RESOURCES;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = entry(0, u"Address");
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kRasW, table, &rec, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(rec.calls.size(), 1u);
}

TEST(NtRegistry, QueryDirectDefaultsAndDelete) {
    Host host;
    Registry &r = host.registry();
    r.set_dword(kParams, "Timeout", 300);
    r.set_sz(kParams, "Trace", "Datas");
    r.set_value(kParams, "Blob", kRegBinary, {1, 2, 3, 4, 5, 6});

    ULONG timeout = 0, fallback = 0;
    ULONG default_timeout = 1800;
    WCHAR text[16];
    UNICODE_STRING trace{0, sizeof text, text};
    WCHAR small_text[2];
    UNICODE_STRING small{0, sizeof small_text, small_text};
    UCHAR blob[16];
    LONG blob_size = -static_cast<LONG>(sizeof blob);
    std::memcpy(blob, &blob_size, sizeof blob_size);
    RTL_QUERY_REGISTRY_TABLE table[5] = {};
    table[0] = entry(RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_DELETE, u"Timeout", &timeout);
    table[1] = entry(RTL_QUERY_REGISTRY_DIRECT, u"Trace", &trace);
    table[2] = entry(RTL_QUERY_REGISTRY_DIRECT, u"Missing", &fallback);
    table[2].DefaultType = REG_DWORD;
    table[2].DefaultData = &default_timeout;
    table[2].DefaultLength = sizeof default_timeout;
    table[3] = entry(RTL_QUERY_REGISTRY_DIRECT, u"Blob", blob);
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Tolvanex\\Parameters", table, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(timeout, 300u);
    EXPECT_EQ(std::u16string(trace.Buffer, trace.Length / 2), u"Datas");
    EXPECT_EQ(text[5], u'\0');
    EXPECT_EQ(fallback, 1800u);
    EXPECT_EQ(blob[0], 1);
    EXPECT_EQ(blob[5], 6);
    EXPECT_FALSE(r.get_value(kParams, "Timeout")); // DELETE took it

    table[1].EntryContext = &small;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Tolvanex\\Parameters", &table[1], nullptr, nullptr),
              STATUS_BUFFER_TOO_SMALL);

    // A string default with DefaultLength 0 is measured up to its NUL and
    // handed to the routine like a stored value.
    Recorder rec;
    RTL_QUERY_REGISTRY_TABLE defaults[2] = {};
    defaults[0] = entry(0, u"Route");
    defaults[0].DefaultType = REG_MULTI_SZ;
    defaults[0].DefaultData = const_cast<char16_t *>(u"one\0two\0");
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Tolvanex\\Parameters", defaults, &rec, nullptr),
              STATUS_SUCCESS);
    ASSERT_EQ(rec.calls.size(), 2u);
    EXPECT_EQ(text_of(rec.calls[1].data), std::u16string(u"two", 4));
}

TEST(NtRegistry, QuerySubkeyTopkeyAndWholeKeys) {
    Host host;
    Registry &r = host.registry();
    const std::string svc = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex";
    r.set_sz(svc, "Top", "t");
    r.set_multi_sz(svc + "\\Linkage", "Route", {"Tolvanex1"});
    r.set_dword(svc + "\\Linkage", "Other", 2);
    Recorder rec;
    RTL_QUERY_REGISTRY_TABLE table[5] = {};
    table[0] = entry(RTL_QUERY_REGISTRY_SUBKEY, u"Linkage"); // every value of the subkey
    table[1] = entry(RTL_QUERY_REGISTRY_TOPKEY, u"Top");
    table[2] = entry(RTL_QUERY_REGISTRY_NOVALUE, nullptr);
    table[3] = entry(RTL_QUERY_REGISTRY_SUBKEY | RTL_QUERY_REGISTRY_REQUIRED, u"Absent");
    table[3].QueryRoutine = nullptr;
    EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, u"Tolvanex", table, &rec, nullptr),
              STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(rec.calls.size(), 4u);
    EXPECT_EQ(rec.calls[0].name, u"Route");
    EXPECT_EQ(text_of(rec.calls[0].data), std::u16string(u"Tolvanex1", 10));
    EXPECT_EQ(rec.calls[1].name, u"Other");
    EXPECT_EQ(rec.calls[1].type, static_cast<ULONG>(REG_DWORD));
    EXPECT_EQ(rec.calls[2].name, u"Top");
    EXPECT_EQ(rec.calls[3].type, static_cast<ULONG>(REG_NONE));
    EXPECT_TRUE(rec.calls[3].data.empty());
}

TEST(NtRegistry, DeviceMapPathsAreRelativeToTheDeviceMap) {
    Host host;
    Registry &r = host.registry();
    r.create_key(kDeviceMap);
    // Like NT, a key is only made where its parent exists.
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_DEVICEMAP, const_cast<PWSTR>(u"Tapi Devices\\TOLVANEX")),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_DEVICEMAP, const_cast<PWSTR>(u"Tapi Devices")), STATUS_SUCCESS);
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_DEVICEMAP, const_cast<PWSTR>(u"Tapi Devices")),
              STATUS_SUCCESS); // already there
    EXPECT_EQ(RtlCreateRegistryKey(RTL_REGISTRY_DEVICEMAP, const_cast<PWSTR>(u"\\Tapi Devices")),
              STATUS_OBJECT_NAME_INVALID);

    // Writing creates the key's last component, not more.
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"Tapi Devices\\A\\B", u"X", REG_DWORD, nullptr, 0),
              STATUS_OBJECT_NAME_NOT_FOUND);
    WCHAR media[] = u"ISDN";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"Tapi Devices\\TOLVANEX", u"Media Type", REG_SZ, media,
                                    sizeof media),
              STATUS_SUCCESS);
    WCHAR addresses[] = u"1-01-00\0"
                        u"1-02-00\0";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"Tapi Devices\\TOLVANEX", u"Address", REG_MULTI_SZ,
                                    addresses, sizeof addresses),
              STATUS_SUCCESS);
    const std::string tapi = std::string(kDeviceMap) + "\\Tapi Devices\\TOLVANEX";
    EXPECT_EQ(r.get_value(tapi, "Media Type")->data.size(), 10u);
    EXPECT_EQ(r.get_sz(tapi, "Media Type"), "ISDN");
    EXPECT_EQ(r.get_multi_sz(tapi, "Address"), (Strings{"1-01-00", "1-02-00"}));

    Recorder rec;
    RTL_QUERY_REGISTRY_TABLE table[2] = {};
    table[0] = entry(RTL_QUERY_REGISTRY_REQUIRED, u"Address");
    ASSERT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_DEVICEMAP, u"tapi devices\\tolvanex", table, &rec, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(rec.calls.size(), 2u);
}

TEST(NtRegistry, InjectedFaultsFailTheCallAndEveryCallIsTraced) {
    Host host;
    host.registry().create_key(kParams);
    host.faults().fail_nth("ZwOpenKey", 1);
    host.faults().fail_nth("RtlWriteRegistryValue", 1);
    HANDLE key = nullptr;
    EXPECT_EQ(open_key(kParamsW, &key), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(open_key(kParamsW, &key), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
    ULONG value = 300;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Tolvanex\\Parameters", u"Timeout", REG_DWORD, &value,
                                    sizeof value),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(host.registry().get_value(kParams, "Timeout"));
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, u"Tolvanex\\Parameters", u"Timeout", REG_DWORD, &value,
                                    sizeof value),
              STATUS_SUCCESS);

    const Trace &trace = host.trace();
    EXPECT_EQ(trace.count(TraceKind::Registry, "ZwOpenKey \"" + std::string(kParams) + "\" -> STATUS_INSUFFICIENT_RESOURCES"), 1u);
    EXPECT_EQ(trace.count(TraceKind::Registry, "ZwOpenKey"), 2u);
    EXPECT_EQ(trace.count(TraceKind::Registry, "\"Timeout\" REG_DWORD 300 -> STATUS_SUCCESS"), 1u);
}

} // namespace
