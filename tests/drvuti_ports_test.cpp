// TAPI device registration and RAS ports: the device-map entry the driver
// writes, the RAS lists it reads into the two line devices, each registry
// failure with its one event, the reset on reconfiguration; and the
// driver's own string and number routines.

#include "driver_fixture.h"
#include "host_ndis.h"
#include "host_registry.h"

namespace tolvanex::test {

namespace {

constexpr const char *kTapiDevices = "\\Registry\\Machine\\Hardware\\DeviceMap\\Tapi Devices";
constexpr const char *kDeviceKey = "\\Registry\\Machine\\Hardware\\DeviceMap\\Tapi Devices\\TOLVANEX";
constexpr const char *kLinkage = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Linkage";
constexpr const char *kParameters = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Parameters";
constexpr std::uint32_t kMissingParameter = 0xC0001393;

// A line device's fields as registration leaves them, copied out of the
// packed record.
struct Line {
    std::string address;
    USHORT usage;
    USHORT used;
    ULONG call_state;
    USHORT timeout;
};

std::vector<std::uint8_t> bytes(std::initializer_list<std::uint8_t> list) {
    return list;
}

} // namespace

class PortsTest : public DriverTest {
  protected:
    void TearDown() override {
        if (!host.stopped() && adapter)
            host.ndis().halt();
    }

    Registry &reg() { return host.registry(); }

    Line line(int i) const {
        const GATEWAY &g = adapter->Gateway[i];
        return Line{std::string(g.Address, strnlen(g.Address, sizeof(g.Address))), g.Usage, g.Used, g.CallState,
                    g.Timeout};
    }

    std::vector<std::uint32_t> event_ids() {
        std::vector<std::uint32_t> ids;
        for (const EventEntry &e : host.event_log().entries())
            ids.push_back(e.id);
        return ids;
    }

    // Every event of the registration carries the missing-parameter code,
    // section 0 and no insertion strings.
    void expect_registration_events_well_formed() {
        for (const EventEntry &e : host.event_log().entries()) {
            EXPECT_EQ(e.error_code, kMissingParameter) << std::hex << e.id;
            EXPECT_EQ(e.section, 0u) << std::hex << e.id;
            EXPECT_TRUE(e.strings.empty()) << std::hex << e.id;
        }
    }

    // Neither gateway counts as a line device; both hold what the reset gave them.
    void expect_no_line_device() {
        for (int i = 0; i < 2; ++i) {
            Line l = line(i);
            EXPECT_EQ(l.used, 0) << i;
            EXPECT_EQ(l.address, "xx-xx-xx") << i;
            EXPECT_EQ(l.usage, 2) << i;
            EXPECT_EQ(l.call_state, LINECALLSTATE_IDLE) << i;
            EXPECT_EQ(l.timeout, 1800) << i;
        }
        EXPECT_EQ(adapter->AddressIndex, 0);
    }

    std::vector<std::uint8_t> device_value(const char *name) {
        std::optional<RegValue> v = reg().get_value(kDeviceKey, name);
        return v ? v->data : std::vector<std::uint8_t>{};
    }
};

TEST_F(PortsTest, RegistersTheDeviceAndTakesTheTwoPortsRasConfigured) {
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure({{"1-01-00", "Client"}, {"1-02-00", "Server"}});
    start();

    std::optional<RegValue> media = reg().get_value(kDeviceKey, "Media Type");
    ASSERT_TRUE(media);
    EXPECT_EQ(media->type, kRegSz);
    EXPECT_EQ(media->data, reg::sz_bytes("ISDN"));
    EXPECT_EQ(media->data.size(), 10u);
    std::optional<RegValue> address = reg().get_value(kDeviceKey, "Address");
    ASSERT_TRUE(address);
    EXPECT_EQ(address->type, kRegMultiSz);
    EXPECT_EQ(address->data, reg::multi_sz_bytes({"1-01-00", "1-02-00"}));
    EXPECT_EQ(address->data.size(), 34u) << "two addresses of 8 characters and the empty string";

    Line l0 = line(0), l1 = line(1);
    EXPECT_EQ(l0.address, "1-01-00");
    EXPECT_EQ(l0.used, 0xFF);
    EXPECT_EQ(l0.usage, 1);
    EXPECT_EQ(l0.call_state, LINECALLSTATE_IDLE);
    EXPECT_EQ(l0.timeout, 1800);
    EXPECT_EQ(l1.address, "1-02-00");
    EXPECT_EQ(l1.used, 0xFF);
    EXPECT_EQ(l1.usage, 0);
    EXPECT_EQ(adapter->AddressIndex, 2);
    EXPECT_EQ(adapter->UsageIndex, 2);
    PWSTR scratch = adapter->Gateway[0].AddressU.Buffer;
    EXPECT_EQ(scratch, nullptr) << "no pointer into the query's data is kept";

    EXPECT_EQ(event_ids(), std::vector<std::uint32_t>{EVT_CONFIGURATION_DONE});
    expect_registration_events_well_formed();
    EXPECT_EQ(reg().open_handle_count(), 0u);
}

TEST_F(PortsTest, LinesFollowTheOrderOfRasAddressesNotThePortNumbers) {
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure({{"1-02-00", "Client"}});
    reg().set_sz(kParameters, "Trace", "Datas");
    start();
    Line l0 = line(0), l1 = line(1);
    EXPECT_EQ(l0.address, "1-02-00");
    EXPECT_EQ(l0.used, 0xFF);
    EXPECT_EQ(l0.usage, 1);
    EXPECT_EQ(l1.used, 0);
    EXPECT_EQ(l1.address, "xx-xx-xx");
    EXPECT_EQ(l1.usage, 2);
    EXPECT_EQ(adapter->AddressIndex, 1);
    EXPECT_TRUE(host.event_log().entries().empty()) << "the configuration event needs trace level 70";
}

TEST_F(PortsTest, UsageWordsAreMatchedOnTheirLeadingCharactersAndCase) {
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure({{"1-01-00", "ClientAndServer"}, {"1-02-00", "Serverless"}});
    start();
    EXPECT_EQ(line(0).usage, 2);
    EXPECT_EQ(line(1).usage, 0) << "begins with Server";
}

TEST_F(PortsTest, AnUnknownOrShortUsageWordLeavesTheDefault) {
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure({{"1-01-00", "client"}, {"1-02-00", "Cli"}});
    start();
    EXPECT_EQ(line(0).usage, 2) << "the comparison is case-sensitive";
    EXPECT_EQ(line(1).usage, 2) << "a word shorter than Client is not Client";
    EXPECT_EQ(adapter->UsageIndex, 2);
}

TEST_F(PortsTest, AShorterUsageListLeavesTheLaterLinesAtTheDefault) {
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure_lists(std::vector<std::string>{"1-01-00", "1-02-00"}, std::vector<std::string>{"Client"});
    start();
    EXPECT_EQ(line(0).usage, 1);
    EXPECT_EQ(line(1).usage, 2);
    EXPECT_EQ(line(1).used, 0xFF);
    EXPECT_EQ(adapter->UsageIndex, 1);
    EXPECT_EQ(event_ids(), std::vector<std::uint32_t>{EVT_CONFIGURATION_DONE});
}

TEST_F(PortsTest, EntriesBeyondTheSecondHaveNoLineAndAreIgnored) {
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure({{"1-01-00", "Server"}, {"1-02-00", "Client"}, {"1-03-00", "Client"}, {"9-09-00", "Server"}});
    start();
    EXPECT_EQ(line(0).address, "1-01-00");
    EXPECT_EQ(line(0).usage, 0);
    EXPECT_EQ(line(1).address, "1-02-00");
    EXPECT_EQ(line(1).usage, 1);
    EXPECT_EQ(adapter->AddressIndex, 2) << "the provider reports two line devices";
    EXPECT_EQ(adapter->UsageIndex, 2);
    EXPECT_EQ(adapter->Ctx[CTX_B1].State, CTX_UNUSED) << "nothing after the gateways was touched";
    EXPECT_EQ(adapter->Ctx[CTX_B1].Address[0], 0);
    EXPECT_EQ(event_ids(), std::vector<std::uint32_t>{EVT_CONFIGURATION_DONE});
}

TEST_F(PortsTest, AnAddressLongerThanTheFieldKeepsItsFirstFifteenCharacters) {
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure({{"0123456789ABCDEFGHIJ", "Client"}, {"1-02-00", "Client"}});
    start();
    EXPECT_EQ(line(0).address, "0123456789ABCDE");
    EXPECT_EQ(adapter->Gateway[0].Address[15], 0);
    EXPECT_EQ(line(0).used, 0xFF);
    EXPECT_EQ(line(1).address, "1-02-00") << "the pairing with the usage list is kept";
}

TEST_F(PortsTest, WithoutTheRasKeyNoLineDeviceIsConfigured) {
    host.ras().configure_route({"Tolvanex1"});
    start();
    expect_no_line_device();
    EXPECT_EQ(event_ids(), (std::vector<std::uint32_t>{EVT_NO_RAS_PORT, EVT_CONFIGURATION_DONE}));
    expect_registration_events_well_formed();
    EXPECT_EQ(device_value("Address"), reg::multi_sz_bytes({"1-01-00", "1-02-00"})) << "the device is announced";
}

TEST_F(PortsTest, AMissingUsageListFailsTheQueryButKeepsTheAddressesHandledBefore) {
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure_lists(std::vector<std::string>{"1-01-00", "1-02-00"}, std::nullopt);
    start();
    EXPECT_EQ(line(0).address, "1-01-00");
    EXPECT_EQ(line(0).used, 0xFF);
    EXPECT_EQ(line(1).address, "1-02-00");
    EXPECT_EQ(line(1).used, 0xFF);
    EXPECT_EQ(line(0).usage, 2);
    EXPECT_EQ(adapter->AddressIndex, 2);
    EXPECT_EQ(event_ids(), (std::vector<std::uint32_t>{EVT_NO_RAS_PORT, EVT_CONFIGURATION_DONE}));
}

TEST_F(PortsTest, AMissingAddressListConfiguresNothingAndReadsNoUsage) {
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure_lists(std::nullopt, std::vector<std::string>{"Client", "Client"});
    start();
    expect_no_line_device();
    EXPECT_EQ(adapter->UsageIndex, 0);
    EXPECT_EQ(event_ids(), (std::vector<std::uint32_t>{EVT_NO_RAS_PORT, EVT_CONFIGURATION_DONE}));
}

TEST_F(PortsTest, ReconfigurationResetsBothLinesAndReadsNoRasListAgain) {
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure({{"1-02-00", "Client"}});
    reg().set_dword(kParameters, "Timeout", 300);
    start();
    open_isdn();
    adapter->Gateway[0].htLine = 0x7100;
    adapter->Gateway[0].DeviceID = 4;
    adapter->Gateway[1].htCall = 0x7C01;
    unsigned queries = host.faults().calls("RtlQueryRegistryValues");

    reg().set_dword(kParameters, "Timeout", 600);
    host.ras().configure({{"1-01-00", "Server"}, {"1-02-00", "Server"}});
    SharedWrite(adapter->ReconfigRequest, 1);
    ASSERT_TRUE(host.run_until([&] { return SharedRead(adapter->ReconfigRequest) == 0; }, seconds(2)));
    host.settle();

    for (int i = 0; i < 2; ++i) {
        Line l = line(i);
        EXPECT_EQ(l.address, "xx-xx-xx") << i;
        EXPECT_EQ(l.used, 0xFF) << i;
        EXPECT_EQ(l.usage, 2) << i;
        EXPECT_EQ(l.timeout, 600) << i;
    }
    EXPECT_EQ(adapter->AddressIndex, 1) << "kept from initialisation";
    EXPECT_EQ(ULONG{adapter->Gateway[0].htLine}, 0x7100u);
    EXPECT_EQ(ULONG{adapter->Gateway[0].DeviceID}, 4u);
    EXPECT_EQ(ULONG{adapter->Gateway[1].htCall}, 0x7C01u);
    EXPECT_EQ(host.faults().calls("RtlQueryRegistryValues"), queries);
    EXPECT_EQ(events(EVT_CONFIGURATION_DONE), 1u);
}

// ---- Adapter numbers -----------------------------------------------------------------

struct RouteCase {
    const char *name;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
    std::vector<std::string> ports;
};

class AdapterNumberTest : public PortsTest, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(AdapterNumberTest, PortAddressesCarryTheDigitsOfTheLastRoute) {
    const RouteCase &c = GetParam();
    reg().set_value(kLinkage, "Route", c.type, c.data);
    start();
    EXPECT_EQ(device_value("Address"), reg::multi_sz_bytes(c.ports));
    EXPECT_EQ(event_ids(), (std::vector<std::uint32_t>{EVT_NO_RAS_PORT, EVT_CONFIGURATION_DONE}));
}

INSTANTIATE_TEST_SUITE_P(
    Routes, AdapterNumberTest,
    ::testing::Values(
        RouteCase{"One", kRegMultiSz, reg::multi_sz_bytes({"Tolvanex1"}), {"1-01-00", "1-02-00"}},
        RouteCase{"NoDigit", kRegMultiSz, reg::multi_sz_bytes({"Tolvanex"}), {"0-01-00", "0-02-00"}},
        RouteCase{"Twelve", kRegMultiSz, reg::multi_sz_bytes({"Tolvanex12"}), {"12-01-00", "12-02-00"}},
        RouteCase{"LastStringDecides",
                  kRegMultiSz,
                  reg::multi_sz_bytes({"Tolvanex3", "Tolvanex12"}),
                  {"12-01-00", "12-02-00"}},
        RouteCase{"ScatteredDigits", kRegMultiSz, reg::multi_sz_bytes({"T1o2"}), {"12-01-00", "12-02-00"}},
        RouteCase{"Modulo256", kRegMultiSz, reg::multi_sz_bytes({"Tolvanex300"}), {"44-01-00", "44-02-00"}},
        RouteCase{"ThreeDigits", kRegMultiSz, reg::multi_sz_bytes({"Tolvanex255"}), {"255-01-00", "255-02-00"}},
        RouteCase{"AString", kRegSz, reg::sz_bytes("x7"), {"7-01-00", "7-02-00"}},
        RouteCase{"BinaryBytes", kRegBinary, bytes({'2', 0, 0xFF, '5'}), {"25-01-00", "25-02-00"}},
        RouteCase{"EmptyList", kRegMultiSz, bytes({0, 0}), {"0-01-00", "0-02-00"}}),
    [](const ::testing::TestParamInfo<RouteCase> &info) { return info.param.name; });

// ---- Registry failures ---------------------------------------------------------------

struct FailureCase {
    const char *name;
    const char *site;
    unsigned nth;
    std::uint32_t event;
    bool tapi_devices_key; // made before the stop
    bool device_key;
    bool media_type;
    bool address;
};

class RegistrationFailureTest : public PortsTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(RegistrationFailureTest, RaisesExactlyItsEventAndStopsThere) {
    const FailureCase &c = GetParam();
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure({{"1-01-00", "Client"}, {"1-02-00", "Client"}});
    host.faults().fail_nth(c.site, c.nth);
    start(); // initialisation goes on

    EXPECT_EQ(event_ids(), std::vector<std::uint32_t>{c.event}) << "no configuration event after a stop";
    expect_registration_events_well_formed();
    EXPECT_EQ(reg().key_exists(kTapiDevices), c.tapi_devices_key);
    EXPECT_EQ(reg().key_exists(kDeviceKey), c.device_key);
    if (c.device_key) {
        EXPECT_EQ(reg().get_value(kDeviceKey, "Media Type").has_value(), c.media_type);
        EXPECT_EQ(reg().get_value(kDeviceKey, "Address").has_value(), c.address);
    }
    EXPECT_EQ(host.faults().calls("RtlQueryRegistryValues"), 1u) << "the RAS list is not read";
    expect_no_line_device();
    EXPECT_EQ(host.faults().injected().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, RegistrationFailureTest,
    ::testing::Values(
        FailureCase{"Route", "RtlQueryRegistryValues", 1, EVT_NO_ROUTE, false, false, false, false},
        FailureCase{"TapiDevicesKey", "RtlCreateRegistryKey", 1, EVT_NO_TAPI_DEVICES_KEY, false, false, false, false},
        FailureCase{"TolvanexSubkey", "RtlCreateRegistryKey", 2, EVT_NO_TAPI_SUBKEY, true, false, false, false},
        FailureCase{"MediaType", "RtlWriteRegistryValue", 1, EVT_NO_MEDIA_TYPE, true, true, false, false},
        FailureCase{"Address", "RtlWriteRegistryValue", 2, EVT_NO_ADDRESS, true, true, true, false}),
    [](const ::testing::TestParamInfo<FailureCase> &info) { return info.param.name; });

TEST_F(PortsTest, ALinkageKeyWithoutRouteLeavesTheDeviceUnannounced) {
    reg().create_key(kLinkage);
    host.ras().configure({{"1-01-00", "Client"}});
    start();
    EXPECT_EQ(event_ids(), std::vector<std::uint32_t>{EVT_NO_ROUTE});
    EXPECT_FALSE(reg().key_exists(kTapiDevices));
    expect_no_line_device();
}

TEST_F(PortsTest, AFailedRasQueryIsReportedAndTheStatusReturned) {
    host.ras().configure_route({"Tolvanex1"});
    host.ras().configure({{"1-01-00", "Client"}});
    host.faults().fail_nth("RtlQueryRegistryValues", 2);
    start();
    EXPECT_EQ(event_ids(), (std::vector<std::uint32_t>{EVT_NO_RAS_PORT, EVT_CONFIGURATION_DONE}));
    expect_registration_events_well_formed();
    EXPECT_EQ(device_value("Address"), reg::multi_sz_bytes({"1-01-00", "1-02-00"}));
    expect_no_line_device();

    // Called again by itself, the registration hands back the status of the
    // last registry operation it attempted.
    host.faults().fail_nth("RtlQueryRegistryValues", host.faults().calls("RtlQueryRegistryValues") + 2);
    EXPECT_EQ(ProcessTapiDevicesSection(adapter), STATUS_INSUFFICIENT_RESOURCES);
    host.faults().fail_nth("RtlCreateRegistryKey", host.faults().calls("RtlCreateRegistryKey") + 1);
    EXPECT_EQ(ProcessTapiDevicesSection(adapter), STATUS_INSUFFICIENT_RESOURCES);
    reg().delete_key(kLinkage);
    EXPECT_EQ(ProcessTapiDevicesSection(adapter), STATUS_OBJECT_NAME_NOT_FOUND);
    host.ras().configure_route({"Tolvanex1"});
    EXPECT_EQ(ProcessTapiDevicesSection(adapter), STATUS_SUCCESS);
    EXPECT_EQ(line(0).address, "1-01-00");
}

// ---- String and number routines ---------------------------------------------------------

TEST(StringRoutines, MystrnicmpMatchesCodesEqualOr32ApartAsSignedBytes) {
    EXPECT_EQ(Mystrnicmp("ndis", "NDIS", 4), 0);
    EXPECT_EQ(Mystrnicmp("ndis", "NDIS/line", 4), 0) << "characters after Count are not looked at";
    EXPECT_EQ(Mystrnicmp("tapi/line", "tapi/lin\0", 9), 1) << "'e' against the zero byte";
    EXPECT_EQ(Mystrnicmp("abc", "abc ", 4), 0) << "the zero byte and a blank are 32 apart";
    EXPECT_EQ(Mystrnicmp("@[", "`{", 2), 0) << "not only letters";
    EXPECT_EQ(Mystrnicmp("a", "A", 0), 0);
    EXPECT_EQ(Mystrnicmp("a", "!", 1), 1) << "64 apart";
    EXPECT_EQ(Mystrnicmp("ab", "aB!", 3), 1);
    EXPECT_EQ(Mystrnicmp("\x90", "\xB0", 1), 0) << "-112 and -80";
    EXPECT_EQ(Mystrnicmp("\x70", "\x90", 1), 1) << "112 and -112 are not 32 apart";
    EXPECT_EQ(Mystrnicmp("\xF0", "\x10", 1), 0) << "-16 and 16 are 32 apart";
}

TEST(StringRoutines, NdisCompareMemoryAnswersTheLengthOrZero) {
    const char16_t client[] = u"Client";
    const char16_t both[] = u"ClientAndServer";
    EXPECT_EQ(NdisCompareMemory(client, both, 12), 12u);
    EXPECT_EQ(NdisCompareMemory(client, both, 14), 0u) << "the terminator against 'A'";
    EXPECT_EQ(NdisCompareMemory(client, both, 0), 0u);
    const unsigned char a[] = {1, 2, 3, 4}, b[] = {1, 2, 3, 5};
    EXPECT_EQ(NdisCompareMemory(a, b, 3), 3u);
    EXPECT_EQ(NdisCompareMemory(a, b, 4), 0u) << "a difference in the last byte";
}

namespace {

// A counted string over a buffer of `room` characters followed by guards.
struct GuardedString {
    explicit GuardedString(USHORT room) : chars(room + 8, u'\xCCCC') {
        s.Buffer = chars.data();
        s.Length = 0;
        s.MaximumLength = static_cast<USHORT>(room * 2);
    }
    std::u16string text() const { return std::u16string(s.Buffer, s.Length / 2); }
    bool guards_intact() const {
        for (std::size_t i = s.MaximumLength / 2; i < chars.size(); ++i)
            if (chars[i] != u'\xCCCC')
                return false;
        return true;
    }
    std::vector<char16_t> chars;
    NDIS_STRING s;
};

NDIS_STRING counted(const char16_t *text) {
    NDIS_STRING s;
    s.Buffer = const_cast<char16_t *>(text);
    s.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * 2);
    s.MaximumLength = static_cast<USHORT>(s.Length + 2);
    return s;
}

} // namespace

TEST(StringRoutines, CopyThenAppendGivesTheJoinedZeroTerminatedPath) {
    GuardedString path(32);
    NDIS_STRING prefix = counted(u"Tapi Devices\\"), name = counted(u"TOLVANEX");
    NdisCopyUnicodeString(&path.s, &prefix);
    EXPECT_EQ(path.s.Length, 26);
    EXPECT_EQ(path.s.Buffer[13], 0);
    EXPECT_EQ(NdisAppendUnicodeString(&path.s, &name), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(path.s.Length, 42);
    EXPECT_EQ(path.text(), u"Tapi Devices\\TOLVANEX");
    EXPECT_EQ(path.s.Buffer[21], 0);
    EXPECT_EQ(path.s.Buffer[22], u'\xCCCC') << "nothing written after the zero";
    EXPECT_EQ(path.s.MaximumLength, 64) << "unchanged";

    // A copy replaces what was there.
    NdisCopyUnicodeString(&path.s, &name);
    EXPECT_EQ(path.text(), u"TOLVANEX");
    EXPECT_EQ(path.s.Buffer[8], 0);
    NDIS_STRING empty = counted(u"");
    EXPECT_EQ(NdisAppendUnicodeString(&path.s, &empty), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(path.s.Length, 16);
}

TEST(StringRoutines, CopyAndAppendNeverWritePastTheDestinationsRoom) {
    NDIS_STRING prefix = counted(u"Tapi Devices\\"), name = counted(u"TOLVANEX");

    GuardedString small(10); // 9 characters and the zero
    NdisCopyUnicodeString(&small.s, &prefix);
    EXPECT_EQ(small.text(), u"Tapi Devi");
    EXPECT_EQ(small.s.Buffer[9], 0);
    EXPECT_TRUE(small.guards_intact());
    EXPECT_EQ(NdisAppendUnicodeString(&small.s, &name), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(small.text(), u"Tapi Devi") << "full already";
    EXPECT_TRUE(small.guards_intact());

    GuardedString path(16);
    NdisCopyUnicodeString(&path.s, &prefix);
    NdisAppendUnicodeString(&path.s, &name);
    EXPECT_EQ(path.text(), u"Tapi Devices\\TO");
    EXPECT_EQ(path.s.Buffer[15], 0);
    EXPECT_TRUE(path.guards_intact());

    // A Length beyond the room, or an odd one, writes nothing out of place.
    GuardedString bad(4);
    bad.s.Length = 40;
    EXPECT_EQ(NdisAppendUnicodeString(&bad.s, &name), NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(bad.guards_intact());
    NDIS_STRING odd = counted(u"abc");
    odd.Length = 5;
    NdisCopyUnicodeString(&bad.s, &odd);
    EXPECT_EQ(bad.text(), u"ab") << "whole characters only";
    EXPECT_TRUE(bad.guards_intact());
    GuardedString none(0);
    NdisCopyUnicodeString(&none.s, &name);
    EXPECT_EQ(none.s.Length, 0);
    EXPECT_TRUE(none.guards_intact());
}

TEST(StringRoutines, IntegerToUnicodeStringWritesUpToEightDigitsAndAZero) {
    struct Case {
        ULONG value;
        ULONG base;
        std::u16string text;
    };
    const std::vector<Case> cases = {
        {0, 16, u"0"},
        {0x100, 16, u"100"},
        {0xFFFFFFFF, 16, u"FFFFFFFF"},
        {0xABCDEF01, 16, u"ABCDEF01"},
        {0x0000000A, 16, u"A"},
        {1234, 10, u"1234"},
        {4294967295u, 10, u"94967295"}, // the eight positions from 10^7 down
        {5, 2, u"101"},
        {0x1FF, 2, u"11111111"},
        {7, 0, u""},
        {7, 1, u""},
        {7, 17, u""},
    };
    for (const Case &c : cases) {
        GuardedString out(16);
        EXPECT_EQ(NdisIntegerToUnicodeString(c.value, c.base, &out.s), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(out.text(), c.text) << c.value << " base " << c.base;
        EXPECT_EQ(out.s.Length, c.text.size() * 2);
        EXPECT_EQ(out.s.Buffer[c.text.size()], 0);
        EXPECT_EQ(out.s.Buffer[c.text.size() + 1], u'\xCCCC');
    }

    // Nine characters of room hold the longest result; eight do not.
    GuardedString nine(9), eight(8);
    NdisIntegerToUnicodeString(0xFFFFFFFF, 16, &nine.s);
    EXPECT_EQ(nine.text(), u"FFFFFFFF");
    NdisIntegerToUnicodeString(0xFFFFFFFF, 16, &eight.s);
    EXPECT_EQ(eight.s.Length, 0);
    EXPECT_EQ(eight.s.Buffer[0], 0);
    EXPECT_TRUE(eight.guards_intact());
    NdisIntegerToUnicodeString(0x1234567, 16, &eight.s);
    EXPECT_EQ(eight.text(), u"1234567");
}

} // namespace tolvanex::test
