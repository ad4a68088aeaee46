// Driver parameters: the Parameters key read at initialisation and again on
// each reconfiguration of the general loop, with a default for every value
// that is missing or cannot be used.

#include "driver_fixture.h"
#include "host_registry.h"

namespace tolvanex::test {

namespace {

constexpr const char *kParameters = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Tolvanex\\Parameters";

// UTF-16LE bytes of `text`, without a terminator, padded with zero bytes up
// to `size` when it is larger.
std::vector<std::uint8_t> wide(std::u16string_view text, std::size_t size = 0) {
    std::vector<std::uint8_t> out;
    for (char16_t c : text) {
        out.push_back(static_cast<std::uint8_t>(c & 0xFF));
        out.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    if (out.size() < size)
        out.resize(size, 0);
    return out;
}

std::string digits(std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i)
        s += static_cast<char>('0' + (i + 1) % 10);
    return s;
}

} // namespace

class ParametersTest : public DriverTest {
  protected:
    void TearDown() override {
        if (!host.stopped() && adapter)
            host.ndis().halt();
    }

    Registry &reg() { return host.registry(); }

    // Starts with the ISDN driver open, so that the general loop runs turns.
    void start_running() {
        start();
        open_isdn();
    }

    // One reconfiguration through the general loop.
    void reconfigure() {
        SharedWrite(adapter->ReconfigRequest, 1);
        ASSERT_TRUE(host.run_until([&] { return SharedRead(adapter->ReconfigRequest) == 0; }, seconds(2)));
        host.settle();
    }

    // The gateways are packed: their fields are read by value.
    USHORT gateway_timeout(int i) const { return adapter->Gateway[i].Timeout; }

    std::string local_address() const { return std::string(adapter->LocalAddress, adapter->LocalAddressLength); }
    std::string sub_address() const { return std::string(adapter->SubAddress, adapter->SubAddressLength); }

    // Every byte past the digits is zero: the address stays a C string and
    // nothing is left over from an earlier, longer value.
    static bool zero_after(const CHAR *field, std::size_t used) {
        for (std::size_t i = used; i < NUMBER_SIZE; ++i)
            if (field[i] != 0)
                return false;
        return true;
    }
};

TEST_F(ParametersTest, WithoutAParametersKeyEveryValueHasItsDefault) {
    start();
    EXPECT_FALSE(reg().key_exists(kParameters));
    EXPECT_EQ(adapter->Timeout, 1800);
    EXPECT_EQ(adapter->TraceLevel, 70);
    EXPECT_EQ(adapter->LocalAddressLength, 0);
    EXPECT_EQ(adapter->SubAddressLength, 0);
    EXPECT_TRUE(zero_after(adapter->LocalAddress, 0));
    EXPECT_TRUE(zero_after(adapter->SubAddress, 0));
    EXPECT_EQ(gateway_timeout(0), 1800);
    EXPECT_EQ(gateway_timeout(1), 1800);
    EXPECT_EQ(reg().open_handle_count(), 0u) << "every key opened is closed";
    EXPECT_EQ(host.ndis().open_configurations(), 0) << "the NDIS configuration is closed again at once";
}

TEST_F(ParametersTest, AllFourValuesAreReadAtInitialisation) {
    reg().set_dword(kParameters, "Timeout", 300);
    reg().set_sz(kParameters, "Trace", "Datas");
    reg().set_sz(kParameters, "LocalISDNAddress", "0123456789");
    reg().set_sz(kParameters, "SubAddrFilter", "12");
    start();
    EXPECT_EQ(adapter->Timeout, 300);
    EXPECT_EQ(gateway_timeout(0), 300);
    EXPECT_EQ(gateway_timeout(1), 300);
    EXPECT_EQ(adapter->TraceLevel, 2);
    EXPECT_EQ(adapter->LocalAddressLength, 10);
    EXPECT_EQ(local_address(), "0123456789");
    EXPECT_TRUE(zero_after(adapter->LocalAddress, 10));
    EXPECT_EQ(adapter->SubAddressLength, 3);
    EXPECT_EQ(sub_address(), "*12");
    EXPECT_TRUE(zero_after(adapter->SubAddress, 3));
    EXPECT_EQ(reg().open_handle_count(), 0u);
}

TEST_F(ParametersTest, ARefusedNdisConfigurationFailsInitialisationBeforeAnyValueIsRead) {
    reg().set_dword(kParameters, "Timeout", 300);
    ASSERT_EQ(host.ndis().load(DriverEntry), STATUS_SUCCESS);
    host.faults().fail_nth("NdisOpenConfiguration", 1);
    EXPECT_EQ(host.ndis().initialize(), NDIS_STATUS_FAILURE);
    EXPECT_EQ(pGlobal_Adapter, nullptr);
    EXPECT_EQ(host.live_blocks(), 0u);
    EXPECT_EQ(host.trace().count(TraceKind::Registry, "Parameters"), 0u);
    EXPECT_EQ(host.faults().calls("RtlQueryRegistryValues"), 0u) << "no registration either";
}

struct TimeoutCase {
    const char *what;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
    USHORT expected;
};

TEST_F(ParametersTest, TimeoutIsAFourByteDwordWithZeroMadeOneBeforeTheCutTo16Bits) {
    auto dword = [](std::uint32_t v) {
        return std::vector<std::uint8_t>{static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                         static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
    };
    const std::vector<TimeoutCase> cases = {
        {"300", kRegDword, dword(300), 300},
        {"0 becomes 1", kRegDword, dword(0), 1},
        {"65536 keeps its low 16 bits", kRegDword, dword(65536), 0},
        {"65537", kRegDword, dword(65537), 1},
        {"all ones", kRegDword, dword(0xFFFFFFFF), 0xFFFF},
        {"as a string", kRegSz, reg::sz_bytes("300"), 1800},
        {"3 bytes", kRegDword, {0x2C, 0x01, 0x00}, 1800},
        {"8 bytes", kRegDword, {0x2C, 0x01, 0, 0, 0, 0, 0, 0}, 1800},
        {"4 binary bytes", kRegBinary, dword(300), 1800},
        {"5 (again a good value)", kRegDword, dword(5), 5},
    };
    start_running();
    for (const TimeoutCase &c : cases) {
        reg().set_value(kParameters, "Timeout", c.type, c.data);
        reconfigure();
        EXPECT_EQ(adapter->Timeout, c.expected) << c.what;
        EXPECT_EQ(gateway_timeout(0), c.expected) << c.what << ": the gateways follow";
        EXPECT_EQ(gateway_timeout(1), c.expected) << c.what;
    }
    reg().delete_value(kParameters, "Timeout");
    reconfigure();
    EXPECT_EQ(adapter->Timeout, 1800) << "a removed value is back at its default";
}

struct TextCase {
    const char *what;
    std::uint32_t type;
    std::vector<std::uint8_t> data;
    int expected;
};

TEST_F(ParametersTest, TraceNamesItsLevelInAnyCaseAndEverythingElseIsFull) {
    const std::vector<TextCase> cases = {
        {"None", kRegSz, reg::sz_bytes("None"), 0},
        {"full in lower case", kRegSz, reg::sz_bytes("full"), 70},
        {"NONE in capitals", kRegSz, reg::sz_bytes("NONE"), 0},
        {"Errors", kRegSz, reg::sz_bytes("Errors"), 1},
        {"dAtAs", kRegSz, reg::sz_bytes("dAtAs"), 2},
        {"a word not in the table", kRegSz, reg::sz_bytes("Verbose"), 70},
        {"Errors once more", kRegSz, reg::sz_bytes("eRRORS"), 1},
        {"empty", kRegSz, reg::sz_bytes(""), 70},
        {"a prefix", kRegSz, reg::sz_bytes("Non"), 70},
        {"longer than the word", kRegSz, reg::sz_bytes("Nones"), 70},
        {"None, unterminated", kRegSz, wide(u"None"), 0},
        {"None, then text after its zero", kRegSz, wide(std::u16string_view(u"None\0Full", 9), 20), 0},
        {"None and a stray odd byte", kRegSz,
         [] {
             auto d = wide(u"None");
             d.push_back('x');
             return d;
         }(),
         0},
        {"a REG_DWORD", kRegDword, {0, 0, 0, 0}, 70},
        {"expandable string", kRegExpandSz, reg::sz_bytes("None"), 70},
    };
    start_running();
    for (const TextCase &c : cases) {
        // A known level first, so each case shows its own result.
        adapter->TraceLevel = 33;
        reg().set_value(kParameters, "Trace", c.type, c.data);
        reconfigure();
        EXPECT_EQ(adapter->TraceLevel, c.expected) << c.what;
    }
}

TEST_F(ParametersTest, LocalAddressTakesTheLeadingDigitsOfItsLowBytes) {
    const std::vector<TextCase> cases = {
        {"ten digits", kRegSz, reg::sz_bytes("0123456789"), 10},
        {"empty", kRegSz, reg::sz_bytes(""), 0},
        {"digits, a comma and a digit", kRegSz, reg::sz_bytes("4711,5"), 4},
        {"a letter first", kRegSz, reg::sz_bytes("a123"), 0},
        {"unterminated", kRegSz, wide(u"42"), 2},
        {"one byte of data", kRegSz, {'7'}, 0},
        {"three bytes: one character", kRegSz, {'7', 0, '8'}, 1},
        {"32 digits fill the field", kRegSz, reg::sz_bytes(digits(32)), 32},
        {"33 digits do not fit", kRegSz, reg::sz_bytes(digits(33)), 0},
        {"33 characters, 32 of them leading digits", kRegSz, reg::sz_bytes(digits(32) + "-"), 32},
        {"a REG_DWORD", kRegDword, {0x31, 0, 0x32, 0}, 0},
    };
    start_running();
    for (const TextCase &c : cases) {
        reg().set_value(kParameters, "LocalISDNAddress", c.type, c.data);
        reconfigure();
        EXPECT_EQ(adapter->LocalAddressLength, c.expected) << c.what;
        EXPECT_TRUE(zero_after(adapter->LocalAddress, adapter->LocalAddressLength)) << c.what;
    }

    // Only the low byte of a character counts: U+0131 is read as '1' and
    // U+0A30 as '0', while U+3041 ends the digits.
    reg().set_value(kParameters, "LocalISDNAddress", kRegSz, wide(u"9\u01319\u0A30\u30418"));
    reconfigure();
    EXPECT_EQ(local_address(), "9190");
    reg().set_sz(kParameters, "LocalISDNAddress", "4711,5");
    reconfigure();
    EXPECT_EQ(local_address(), "4711");
}

TEST_F(ParametersTest, SubAddressIsAStarAndItsDigitsOrNothing) {
    const std::vector<TextCase> cases = {
        {"two digits", kRegSz, reg::sz_bytes("12"), 3},
        {"empty: no lone star", kRegSz, reg::sz_bytes(""), 0},
        {"a digit and a letter", kRegSz, reg::sz_bytes("7x9"), 2},
        {"31 digits and the star fill the field", kRegSz, reg::sz_bytes(digits(31)), 32},
        {"32 digits do not fit", kRegSz, reg::sz_bytes(digits(32)), 0},
        {"a REG_DWORD", kRegDword, {0x31, 0, 0, 0}, 0},
    };
    start_running();
    for (const TextCase &c : cases) {
        reg().set_value(kParameters, "SubAddrFilter", c.type, c.data);
        reconfigure();
        EXPECT_EQ(adapter->SubAddressLength, c.expected) << c.what;
        EXPECT_TRUE(zero_after(adapter->SubAddress, adapter->SubAddressLength)) << c.what;
        if (adapter->SubAddressLength) {
            EXPECT_EQ(adapter->SubAddress[0], '*') << c.what;
        }
    }
    reg().set_sz(kParameters, "SubAddrFilter", "7x9");
    reconfigure();
    EXPECT_EQ(sub_address(), "*7");
}

TEST_F(ParametersTest, AValueWithMoreThan388BytesOfDataCountsAsMissing) {
    start_running();
    // 388 bytes of data fill the 400-byte query; 390 do not fit it.
    reg().set_value(kParameters, "Trace", kRegSz, wide(u"None", 388));
    reg().set_value(kParameters, "LocalISDNAddress", kRegSz, wide(u"1234", 388));
    reg().set_value(kParameters, "SubAddrFilter", kRegSz, wide(u"56", 388));
    reconfigure();
    EXPECT_EQ(adapter->TraceLevel, 0);
    EXPECT_EQ(local_address(), "1234");
    EXPECT_EQ(sub_address(), "*56");

    reg().set_value(kParameters, "Trace", kRegSz, wide(u"None", 390));
    reg().set_value(kParameters, "LocalISDNAddress", kRegSz, wide(u"1234", 390));
    reg().set_value(kParameters, "SubAddrFilter", kRegSz, wide(u"56", 390));
    reconfigure();
    EXPECT_EQ(adapter->TraceLevel, 70);
    EXPECT_EQ(adapter->LocalAddressLength, 0);
    EXPECT_TRUE(zero_after(adapter->LocalAddress, 0));
    EXPECT_EQ(adapter->SubAddressLength, 0);
    EXPECT_EQ(reg().open_handle_count(), 0u);
}

TEST_F(ParametersTest, ReconfigurationReloadsWhatTheRegistryHoldsNow) {
    reg().set_dword(kParameters, "Timeout", 300);
    reg().set_sz(kParameters, "Trace", "Errors");
    reg().set_sz(kParameters, "LocalISDNAddress", "0123456789");
    reg().set_sz(kParameters, "SubAddrFilter", "12");
    start_running();
    ASSERT_EQ(adapter->LocalAddressLength, 10);

    reg().delete_value(kParameters, "LocalISDNAddress");
    reg().set_sz(kParameters, "SubAddrFilter", "9");
    reg().set_sz(kParameters, "Trace", "Full");
    reg().set_dword(kParameters, "Timeout", 45);
    reconfigure();
    EXPECT_EQ(adapter->LocalAddressLength, 0);
    EXPECT_TRUE(zero_after(adapter->LocalAddress, 0)) << "the old number is gone";
    EXPECT_EQ(sub_address(), "*9");
    EXPECT_TRUE(zero_after(adapter->SubAddress, 2));
    EXPECT_EQ(adapter->TraceLevel, 70);
    EXPECT_EQ(adapter->Timeout, 45);
    EXPECT_EQ(gateway_timeout(1), 45);

    reg().delete_key(kParameters);
    reconfigure();
    EXPECT_EQ(adapter->Timeout, 1800);
    EXPECT_EQ(adapter->SubAddressLength, 0);
    EXPECT_TRUE(zero_after(adapter->SubAddress, 0));
    EXPECT_EQ(reg().open_handle_count(), 0u);
}

TEST_F(ParametersTest, ARegistryFailureGivesTheDefaultOfThatValueOnly) {
    reg().set_dword(kParameters, "Timeout", 300);
    reg().set_sz(kParameters, "Trace", "None");
    reg().set_sz(kParameters, "LocalISDNAddress", "555");
    reg().set_sz(kParameters, "SubAddrFilter", "1");
    start_running();
    ASSERT_EQ(adapter->Timeout, 300);

    // The values are read in order: Timeout, Trace, LocalISDNAddress, SubAddrFilter.
    host.faults().fail_nth("ZwOpenKey", host.faults().calls("ZwOpenKey") + 1);
    reconfigure();
    EXPECT_EQ(adapter->Timeout, 1800);
    EXPECT_EQ(adapter->TraceLevel, 0);
    EXPECT_EQ(local_address(), "555");
    EXPECT_EQ(sub_address(), "*1");

    host.faults().fail_nth("ZwQueryValueKey", host.faults().calls("ZwQueryValueKey") + 2);
    reconfigure();
    EXPECT_EQ(adapter->Timeout, 300);
    EXPECT_EQ(adapter->TraceLevel, 70);
    EXPECT_EQ(local_address(), "555");

    host.faults().fail_nth("ZwQueryValueKey", host.faults().calls("ZwQueryValueKey") + 3);
    reconfigure();
    EXPECT_EQ(adapter->TraceLevel, 0);
    EXPECT_EQ(adapter->LocalAddressLength, 0);
    EXPECT_EQ(sub_address(), "*1");

    host.faults().fail_nth("ZwOpenKey", host.faults().calls("ZwOpenKey") + 4);
    reconfigure();
    EXPECT_EQ(local_address(), "555");
    EXPECT_EQ(adapter->SubAddressLength, 0);
    EXPECT_TRUE(zero_after(adapter->SubAddress, 0));

    EXPECT_EQ(reg().open_handle_count(), 0u) << "a failed query still closes its key";
    EXPECT_EQ(events(EVT_NO_ROUTE), 1u) << "a reconfiguration does not run the registration again";
}

} // namespace tolvanex::test
