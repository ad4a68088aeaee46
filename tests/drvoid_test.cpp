// The TAPI provider's line, address and device requests, through the query
// and set handlers, with the lines RAS configured.

#include "driver_fixture.h"
#include "host_ndis.h"

namespace tolvanex::test {

namespace {

namespace tapi = tolvanex::host::tapi;
using tapi::Bytes;
using Counts = std::tuple<NDIS_STATUS, ULONG, ULONG>; // status, bytes written or read, bytes needed

constexpr ULONG kBase = 6; // TAPI's device ID of the provider's first line

Counts counts(const TapiAnswer &a) {
    return {a.status, a.bytes_done, a.bytes_needed};
}

// A field of a packed record, by value.
template <class T> T val(T field) {
    return field;
}

Bytes text(const char *s, std::size_t n) {
    return Bytes(s, s + n);
}

template <class T> void put(Bytes &b, std::size_t offset, T value) {
    std::memcpy(b.data() + offset, &value, sizeof value);
}

} // namespace

class TapiLineTest : public DriverTest {
  protected:
    void TearDown() override {
        if (adapter != nullptr && !host.stopped())
            host.ndis().halt();
    }
    // RAS's configuration, then the driver.
    void boot(const std::vector<RasPort> &ports = {{"12-01-00", "ClientAndServer"}, {"12-02-00", "Client"}}) {
        host.ras().configure_route({"Tolvanex12"});
        if (!ports.empty())
            host.ras().configure(ports);
        start();
    }
    TapiAnswer query(NDIS_OID oid, const Bytes &r, std::size_t length = SIZE_MAX) {
        return host.tapi().query(oid, r, length);
    }
    TapiAnswer set(NDIS_OID oid, const Bytes &r, std::size_t length = SIZE_MAX) {
        return host.tapi().set(oid, r, length);
    }
    ULONG initialize(ULONG base = kBase) {
        ULONG lines = 0;
        EXPECT_EQ(host.ras().initialize(base, &lines).status, NDIS_STATUS_SUCCESS);
        return lines;
    }
    HDRV_LINE open(ULONG device) {
        HDRV_LINE hd = 0;
        EXPECT_EQ(host.ras().open(device, nullptr, &hd).status, NDIS_STATUS_SUCCESS);
        return hd;
    }
    ULONG id(const void *record) { return ZolIdentity(adapter, record); }
};

// ---- Buffers shorter than their request -------------------------------------------------------

TEST_F(TapiLineTest, EveryLengthShortOfARequestIsRefusedWithoutATouch) {
    boot();
    initialize();
    HDRV_LINE hd = open(kBase);
    struct Family {
        const char *name;
        bool is_set;
        NDIS_OID oid;
        Bytes request;
        ULONG fixed, full; // the record, and the record with the room its ulTotalSize claims
        NDIS_STATUS whole; // the answer to the whole request
    } families[] = {
        {"PROVIDER_INITIALIZE", false, OID_TAPI_PROVIDER_INITIALIZE, tapi::provider_initialize(9, kBase), 16, 16,
         NDIS_STATUS_SUCCESS},
        {"OPEN", false, OID_TAPI_OPEN, tapi::open(9, kBase + 1, 0x7177), 16, 16, NDIS_STATUS_SUCCESS},
        {"GET_DEV_CAPS", false, OID_TAPI_GET_DEV_CAPS, tapi::get_dev_caps(9, kBase, 270), 248, 282,
         NDIS_STATUS_SUCCESS},
        {"GET_ADDRESS_CAPS", false, OID_TAPI_GET_ADDRESS_CAPS, tapi::get_address_caps(9, kBase, 0, 185), 192, 201,
         NDIS_STATUS_SUCCESS},
        {"GET_ADDRESS_ID", false, OID_TAPI_GET_ADDRESS_ID, tapi::get_address_id(9, hd, 1, "12-01-00"), 20, 20,
         NDIS_STATUS_SUCCESS},
        {"GET_ADDRESS_STATUS", false, OID_TAPI_GET_ADDRESS_STATUS, tapi::get_address_status(9, hd, 0), 76, 76,
         NDIS_STATUS_SUCCESS},
        {"GET_LINE_DEV_STATUS", false, OID_TAPI_GET_LINE_DEV_STATUS, tapi::get_line_dev_status(9, hd), 84, 84,
         NDIS_STATUS_SUCCESS},
        {"GET_EXTENSION_ID", false, OID_TAPI_GET_EXTENSION_ID, tapi::get_extension_id(9, kBase), 24, 24,
         NDIS_STATUS_SUCCESS},
        {"GET_DEV_CONFIG", false, OID_TAPI_GET_DEV_CONFIG, tapi::get_dev_config(9, kBase, "tapi/line", 29), 40, 45,
         NDIS_STATUS_SUCCESS},
        {"GET_ID", false, OID_TAPI_GET_ID, tapi::get_id(9, LINECALLSELECT_LINE, hd, 0, "tapi/line", 28), 52, 56,
         NDIS_STATUS_TAPI_INVALLINEHANDLE},
        {"SET_APP_SPECIFIC", true, OID_TAPI_SET_APP_SPECIFIC, tapi::set_app_specific(9, 0x1234, 5), 12, 12,
         NDIS_STATUS_TAPI_INVALCALLHANDLE},
        {"CLOSE", true, OID_TAPI_CLOSE, tapi::close(9, hd), 8, 8, NDIS_STATUS_SUCCESS},
    };
    for (const Family &f : families) {
        for (ULONG length = 0; length < f.full; ++length) {
            TapiAnswer a = f.is_set ? set(f.oid, f.request, length) : query(f.oid, f.request, length);
            ULONG needed = length < f.fixed ? f.fixed : f.full;
            EXPECT_EQ(counts(a), Counts(NDIS_STATUS_INVALID_LENGTH, 0, needed)) << f.name << ", " << length << " bytes";
            EXPECT_EQ(a.buffer, Bytes(f.request.begin(), f.request.begin() + length)) << f.name << ", " << length;
        }
        TapiAnswer whole = f.is_set ? set(f.oid, f.request) : query(f.oid, f.request);
        EXPECT_EQ(whole.status, f.whole) << f.name;
    }
    EXPECT_EQ(adapter->DeviceIDBase, kBase);
    EXPECT_EQ(val(adapter->Gateway[1].htLine), 0x7177u) << "opened by the whole request only";
    EXPECT_EQ(val(adapter->Gateway[0].htLine), 0u) << "closed by the whole request only";
}

// ---- Provider, open and close -----------------------------------------------------------------

TEST_F(TapiLineTest, ProviderInitializeReportsTheRasLinesAndTheAdapter) {
    boot();
    TapiAnswer a = query(OID_TAPI_PROVIDER_INITIALIZE, tapi::provider_initialize(41, kBase));
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 16, 0));
    auto r = tapi::record_at<NDIS_TAPI_PROVIDER_INITIALIZE>(a.buffer);
    EXPECT_EQ(r.ulRequestID, 41u);
    EXPECT_EQ(r.ulDeviceIDBase, kBase);
    EXPECT_EQ(r.ulNumLineDevs, 2u);
    EXPECT_EQ(r.ulProviderID, id(adapter));
    EXPECT_NE(r.ulProviderID, 0u);
    EXPECT_EQ(adapter->DeviceIDBase, kBase);
}

TEST_F(TapiLineTest, WithoutRasPortsThereIsNoLine) {
    boot({});
    EXPECT_EQ(initialize(), 0u);
    EXPECT_EQ(query(OID_TAPI_OPEN, tapi::open(1, kBase, 0x7100)).status, NDIS_STATUS_TAPI_RESOURCEUNAVAIL);
    EXPECT_EQ(query(OID_TAPI_GET_DEV_CAPS, tapi::get_dev_caps(1, kBase, 270)).status, NDIS_STATUS_TAPI_NODRIVER);
}

TEST_F(TapiLineTest, WithOnePortTheSecondDeviceNamesNoLine) {
    boot({{"12-02-00", "Server"}});
    EXPECT_EQ(initialize(), 1u);
    EXPECT_EQ(query(OID_TAPI_OPEN, tapi::open(1, kBase + 1, 0x7100)).status, NDIS_STATUS_TAPI_RESOURCEUNAVAIL);
    EXPECT_EQ(query(OID_TAPI_GET_ADDRESS_CAPS, tapi::get_address_caps(1, kBase + 1, 0, 185)).status,
              NDIS_STATUS_TAPI_NODRIVER);
    tapi::AddressCaps caps =
        tapi::decode_address_caps(query(OID_TAPI_GET_ADDRESS_CAPS, tapi::get_address_caps(1, kBase, 0, 185)).buffer);
    EXPECT_EQ(caps.address, text("12-02-00", 9)) << "the first address RAS lists is the first line";
}

TEST_F(TapiLineTest, ALineOpensOnceUntilItIsClosed) {
    boot();
    initialize();
    TapiAnswer a = query(OID_TAPI_OPEN, tapi::open(5, kBase, 0x7100));
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 16, 0));
    HDRV_LINE hd = tapi::record_at<NDIS_TAPI_OPEN>(a.buffer).hdLine;
    EXPECT_EQ(hd, id(&adapter->Gateway[0]));
    EXPECT_EQ(val(adapter->Gateway[0].htLine), 0x7100u);
    EXPECT_EQ(val(adapter->Gateway[0].DeviceID), kBase);
    EXPECT_EQ(adapter->ListenRequest, 1) << "listening starts with the first open";
    EXPECT_EQ(adapter->ThreadsCreated, 1);

    for (ULONG device : {kBase, kBase - 1, kBase + 2, 0xFFFFFFFFu}) {
        Bytes request = tapi::open(6, device, 0x7101);
        TapiAnswer again = query(OID_TAPI_OPEN, request);
        EXPECT_EQ(counts(again), Counts(NDIS_STATUS_TAPI_RESOURCEUNAVAIL, 0, 0)) << device;
        EXPECT_EQ(again.buffer, request);
    }
    for (ULONG other : {0u, id(adapter), hd + 1, id(&adapter->Ctx[CTX_B1])})
        EXPECT_EQ(counts(set(OID_TAPI_CLOSE, tapi::close(7, other))), Counts(NDIS_STATUS_TAPI_INVALLINEHANDLE, 0, 0));

    std::size_t mark = host.tapi().events().size();
    EXPECT_EQ(counts(set(OID_TAPI_CLOSE, tapi::close(8, hd))), Counts(NDIS_STATUS_SUCCESS, 8, 0));
    EXPECT_EQ(events_since(mark), (std::vector<Ev>{{0x7100, 0, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0x100}}))
        << "idle already: no address event";
    EXPECT_EQ(val(adapter->Gateway[0].htLine), 0u);
    EXPECT_EQ(query(OID_TAPI_OPEN, tapi::open(9, kBase, 0x7102)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(set(OID_TAPI_PROVIDER_SHUTDOWN, Bytes(4, 0)).status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(val(adapter->Gateway[0].htLine), 0x7102u) << "shutting down leaves the lines as they are";
}

// ---- Capabilities -------------------------------------------------------------------------------

TEST_F(TapiLineTest, DevCapsCarryWhatTheirRoomHolds) {
    boot();
    initialize();
    const Bytes info = text("ISDN\0TOLVANEX", 14), name = text("ZOL NALK Channel B1", 20);
    struct Case {
        ULONG total, used;
        Bytes info, name;
    } cases[] = {
        {236, 236, {}, {}},     {240, 240, text("ISDN", 4), {}},
        {250, 250, info, {}},   {269, 269, info, Bytes(name.begin(), name.begin() + 19)},
        {270, 270, info, name}, {300, 270, info, name},
    };
    for (const Case &c : cases) {
        Bytes request = tapi::get_dev_caps(3, kBase, c.total);
        std::fill(request.begin() + 16, request.end(), 0xEE); // the whole record is cleared
        TapiAnswer a = query(OID_TAPI_GET_DEV_CAPS, request);
        EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 282, 0)) << c.total;
        tapi::DevCaps d = tapi::decode_dev_caps(a.buffer);
        EXPECT_EQ(d.caps.ulTotalSize, c.total);
        EXPECT_EQ(d.caps.ulNeededSize, 270u);
        EXPECT_EQ(d.caps.ulUsedSize, c.used) << c.total;
        EXPECT_EQ(d.provider_info, c.info) << c.total;
        EXPECT_EQ(d.line_name, c.name) << c.total;
        EXPECT_EQ(d.caps.ulProviderInfoOffset, c.info.empty() ? 0u : 236u);
        EXPECT_EQ(d.caps.ulLineNameOffset, c.name.empty() ? 0u : 250u);

        LINE_DEV_CAPS expected{};
        expected.ulTotalSize = c.total;
        expected.ulNeededSize = 270;
        expected.ulUsedSize = c.used;
        expected.ulProviderInfoSize = static_cast<ULONG>(c.info.size());
        expected.ulProviderInfoOffset = d.caps.ulProviderInfoOffset;
        expected.ulLineNameSize = static_cast<ULONG>(c.name.size());
        expected.ulLineNameOffset = d.caps.ulLineNameOffset;
        expected.ulPermanentLineID = id(adapter);
        expected.ulStringFormat = STRINGFORMAT_ASCII;
        expected.ulAddressModes = 1;
        expected.ulNumAddresses = 1;
        expected.ulBearerModes = 9;
        expected.ulMaxRate = 64000;
        expected.ulMediaModes = 0x100;
        expected.ulAnswerMode = 2;
        expected.ulMaxNumActiveCalls = 1;
        expected.ulLineStates = 0x01040ECE;
        EXPECT_EQ(
            Bytes(a.buffer.begin() + 12, a.buffer.begin() + 248),
            tapi::Bytes(reinterpret_cast<std::uint8_t *>(&expected), reinterpret_cast<std::uint8_t *>(&expected + 1)))
            << c.total;
        for (std::size_t i = 12 + c.used; i < a.buffer.size(); ++i)
            ASSERT_EQ(a.buffer[i], 0) << "past the texts, byte " << i << " of " << c.total;
    }
}

TEST_F(TapiLineTest, DevCapsNameTheChannelAndRefuseWhatNamesNoLine) {
    boot();
    initialize();
    auto name_of = [&](ULONG device) {
        return tapi::decode_dev_caps(query(OID_TAPI_GET_DEV_CAPS, tapi::get_dev_caps(1, device, 270)).buffer).line_name;
    };
    EXPECT_EQ(name_of(kBase), text("ZOL NALK Channel B1", 20));
    EXPECT_EQ(name_of(kBase + 1), text("ZOL NALK Channel B2", 20));
    initialize(0x80); // an odd low byte above 127 is a negative remainder
    EXPECT_EQ(name_of(0x80), text("ZOL NALK Channel B1", 20));
    EXPECT_EQ(name_of(0x81), text("ZOL NALK Channel B0", 20));

    for (ULONG device : {0x7Fu, 0x82u, 0u}) {
        Bytes request = tapi::get_dev_caps(1, device, 270);
        TapiAnswer a = query(OID_TAPI_GET_DEV_CAPS, request);
        EXPECT_EQ(counts(a), Counts(NDIS_STATUS_TAPI_NODRIVER, 0, 0)) << device;
        EXPECT_EQ(a.buffer, request);
    }
    Bytes small = tapi::get_dev_caps(1, 0x80, 236);
    put<ULONG>(small, 12, 235); // claims less than the fixed record
    EXPECT_EQ(counts(query(OID_TAPI_GET_DEV_CAPS, small)), Counts(NDIS_STATUS_TAPI_STRUCTURETOOSMALL, 0, 0));
    Bytes huge = tapi::get_dev_caps(1, 0x80, 270);
    put<ULONG>(huge, 12, 0xFFFFFFFF);
    EXPECT_EQ(counts(query(OID_TAPI_GET_DEV_CAPS, huge)), Counts(NDIS_STATUS_INVALID_LENGTH, 0, 0xFFFFFFFF));
}

TEST_F(TapiLineTest, AddressCapsCarryTheRasAddressWhenItFits) {
    boot();
    initialize();
    for (ULONG total : {176u, 184u, 185u, 200u}) {
        Bytes request = tapi::get_address_caps(2, kBase, 3, total);
        put<ULONG>(request, 16 + offsetof(LINE_ADDRESS_CAPS, ulAddressSize), 0x55);
        put<ULONG>(request, 16 + offsetof(LINE_ADDRESS_CAPS, ulAddressOffset), 0x66);
        for (std::size_t f = offsetof(LINE_ADDRESS_CAPS, ulCallerIDFlags);
             f < offsetof(LINE_ADDRESS_CAPS, ulCallStates); f += 4)
            put<ULONG>(request, 16 + f, 0x40 + static_cast<ULONG>(f));
        for (std::size_t f = offsetof(LINE_ADDRESS_CAPS, ulRemoveFromConfCaps); f < sizeof(LINE_ADDRESS_CAPS); f += 4)
            put<ULONG>(request, 16 + f, 0xBAD);
        TapiAnswer a = query(OID_TAPI_GET_ADDRESS_CAPS, request);
        ULONG length = static_cast<ULONG>(request.size());
        EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, length, length)) << total;
        LINE_ADDRESS_CAPS c = tapi::record_at<LINE_ADDRESS_CAPS>(a.buffer, 16);
        bool fits = total >= 185;
        EXPECT_EQ(c.ulNeededSize, 185u);
        EXPECT_EQ(c.ulUsedSize, fits ? 185u : 176u) << total;
        EXPECT_EQ(c.ulAddressSize, fits ? 9u : 0x55u) << total;
        EXPECT_EQ(c.ulAddressOffset, fits ? 176u : 0x66u) << total;
        if (fits) {
            EXPECT_EQ(tapi::decode_address_caps(a.buffer).address, text("12-01-00", 9));
        }
        EXPECT_EQ(c.ulLineDeviceID, kBase);
        EXPECT_EQ(c.ulDevSpecificSize, 0u);
        EXPECT_EQ(c.ulDevSpecificOffset, 0u);
        EXPECT_EQ(c.ulAddressSharing, 1u);
        EXPECT_EQ(c.ulAddressStates, 0x3Du);
        EXPECT_EQ(c.ulCallInfoStates, 0x20u);
        EXPECT_EQ(c.ulCallerIDFlags, 0x40u + offsetof(LINE_ADDRESS_CAPS, ulCallerIDFlags)) << "left as received";
        EXPECT_EQ(c.ulRedirectingIDFlags, 0x40u + offsetof(LINE_ADDRESS_CAPS, ulRedirectingIDFlags));
        EXPECT_EQ(c.ulCallStates, 0x4357u);
        EXPECT_EQ(c.ulDialToneModes, 0x20u);
        EXPECT_EQ(c.ulBusyModes, 8u);
        EXPECT_EQ(c.ulSpecialInfo, 0x10u);
        EXPECT_EQ(c.ulDisconnectModes, 0x63u);
        EXPECT_EQ(c.ulMaxNumActiveCalls, 1u);
        EXPECT_EQ(c.ulMaxNumOnHoldCalls + c.ulMaxNumOnHoldPendingCalls + c.ulMaxNumConference + c.ulMaxNumTransConf,
                  0u);
        EXPECT_EQ(c.ulAddrCapFlags, 0x20u);
        EXPECT_EQ(c.ulCallFeatures, 0xD5u);
        for (std::size_t f = 16 + offsetof(LINE_ADDRESS_CAPS, ulRemoveFromConfCaps); f < 192; ++f)
            ASSERT_EQ(a.buffer[f], 0) << "byte " << f << " of " << total;
    }
    EXPECT_EQ(val(adapter->Gateway[0].AddressID), 3u);
    EXPECT_EQ(val(adapter->Gateway[0].DeviceID), kBase);

    Bytes request = tapi::get_address_caps(2, kBase + 2, 4, 185);
    EXPECT_EQ(counts(query(OID_TAPI_GET_ADDRESS_CAPS, request)), Counts(NDIS_STATUS_TAPI_NODRIVER, 0, 0));
    EXPECT_EQ(val(adapter->Gateway[0].AddressID), 3u);
}

// ---- Addresses, status, extension and configuration -------------------------------------------

TEST_F(TapiLineTest, AnOpenIdleLineReportsItsAddressAndStatus) {
    boot();
    initialize();
    HDRV_LINE hd = open(kBase);

    Bytes id_request = tapi::get_address_id(1, hd, LINEADDRESSMODE_DIALABLEADDR, "0140506070");
    TapiAnswer a = query(OID_TAPI_GET_ADDRESS_ID, id_request);
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 31, 31));
    EXPECT_EQ(tapi::ulong_at(a.buffer, 8), 0u);
    EXPECT_EQ(counts(query(OID_TAPI_GET_ADDRESS_ID, tapi::get_address_id(1, hd + 1, 1, "1"))),
              Counts(NDIS_STATUS_TAPI_INVALLINEHANDLE, 0, 0));

    Bytes status = tapi::get_address_status(2, hd, 0);
    for (std::size_t f = 12 + 20; f < 76; f += 4)
        put<ULONG>(status, f, 0xABC); // from ulNumOnHoldCalls on
    a = query(OID_TAPI_GET_ADDRESS_STATUS, status);
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 76, 76));
    LINE_ADDRESS_STATUS s = tapi::record_at<LINE_ADDRESS_STATUS>(a.buffer, 12);
    EXPECT_EQ(s.ulTotalSize, 64u);
    EXPECT_EQ(s.ulNeededSize, 64u);
    EXPECT_EQ(s.ulUsedSize, 64u);
    EXPECT_EQ(s.ulNumInUse, 0u);
    EXPECT_EQ(s.ulNumActiveCalls, 0u);
    EXPECT_EQ(s.ulAddressFeatures, LINEADDRFEATURE_MAKECALL);
    EXPECT_EQ(s.ulNumRingsNoAnswer, 999u);
    EXPECT_EQ(s.ulNumOnHoldCalls, 0xABCu);
    EXPECT_EQ(s.ulDevSpecificOffset, 0xABCu);

    Bytes line = tapi::get_line_dev_status(3, hd);
    for (std::size_t f = 8 + 4; f < 84; f += 4)
        put<ULONG>(line, f, 0xDEF);
    a = query(OID_TAPI_GET_LINE_DEV_STATUS, line);
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 84, 84));
    LINE_DEV_STATUS d = tapi::record_at<LINE_DEV_STATUS>(a.buffer, 8);
    EXPECT_EQ(d.ulNumActiveCalls, 0u);
    EXPECT_EQ(d.ulLineFeatures, LINEFEATURE_MAKECALL);
    EXPECT_EQ(d.ulRingMode, 0u);
    EXPECT_EQ(d.ulDevStatusFlags, 5u);
    EXPECT_EQ(d.ulNeededSize, 0xDEFu) << "sizes left as received";
    EXPECT_EQ(d.ulNumOpens, 0xDEFu);
    EXPECT_EQ(d.ulDevSpecificOffset, 0xDEFu);
}

TEST_F(TapiLineTest, ExtensionIDIsZeroAndTheConfigurationIsIsdn) {
    boot();
    Bytes ext = tapi::get_extension_id(1, 0xFFFF);
    std::fill(ext.begin() + 8, ext.end(), 0x77);
    TapiAnswer a = query(OID_TAPI_GET_EXTENSION_ID, ext);
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 24, 0));
    EXPECT_EQ(Bytes(a.buffer.begin() + 8, a.buffer.end()), Bytes(16, 0));

    for (ULONG total : {10u, 24u, 28u}) {
        Bytes request = tapi::get_dev_config(2, 0xFFFF, "comm/datamodem", total);
        a = query(OID_TAPI_GET_DEV_CONFIG, request);
        ULONG length = static_cast<ULONG>(request.size());
        EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, length, length)) << total;
        VAR_STRING v = tapi::record_at<VAR_STRING>(a.buffer, 16);
        EXPECT_EQ(v.ulNeededSize, 29u);
        EXPECT_EQ(v.ulUsedSize, total);
        EXPECT_EQ(v.ulStringSize, 0u);
        EXPECT_EQ(v.ulStringOffset, 0u);
    }
    a = query(OID_TAPI_GET_DEV_CONFIG, tapi::get_dev_config(2, 0xFFFF, "", 40));
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 0, 0));
    tapi::VarString v = tapi::decode_var_string(a.buffer, 16);
    EXPECT_EQ(v.head.ulNeededSize, 29u);
    EXPECT_EQ(v.head.ulUsedSize, 29u);
    EXPECT_EQ(v.head.ulStringFormat, STRINGFORMAT_BINARY);
    EXPECT_EQ(v.head.ulStringOffset, 24u);
    EXPECT_EQ(v.string, text("ISDN", 4));
    EXPECT_EQ(a.buffer[16 + 28], 0);
}

// ---- Device identifiers ----------------------------------------------------------------------

TEST_F(TapiLineTest, GetIDAnswersByClassThenBySelect) {
    boot();
    initialize();
    HDRV_LINE hd = open(kBase);
    auto get_id = [&](ULONG select, HDRV_LINE line, HDRV_CALL call, const std::string &cls, ULONG total = 40) {
        return query(OID_TAPI_GET_ID, tapi::get_id(1, select, line, call, cls, total));
    };
    // Before any call no context is bound to the line.
    EXPECT_EQ(get_id(LINECALLSELECT_LINE, hd, 0, "ndis").status, NDIS_STATUS_TAPI_INVALLINEHANDLE);
    EXPECT_EQ(get_id(LINECALLSELECT_LINE, hd, 0, "tapi/line").status, NDIS_STATUS_TAPI_INVALLINEHANDLE);

    HDRV_CALL hc = 0;
    HTAPI_CALL ht = 0;
    ASSERT_EQ(host.ras().make_call(hd, "0140506070", &hc, &ht).status, NDIS_STATUS_SUCCESS);
    const struct {
        ULONG select;
        HDRV_LINE line;
        HDRV_CALL call;
        std::string cls;
        NDIS_STATUS status;
    } refused[] = {
        {LINECALLSELECT_CALL, 0, 0, "modem", NDIS_STATUS_TAPI_INVALDEVICECLASS}, // the class comes first
        {LINECALLSELECT_CALL, hd, hc, "tapi/lin", NDIS_STATUS_TAPI_INVALDEVICECLASS},
        {8, hd, hc, "NDIS", NDIS_STATUS_FAILURE},
        {LINECALLSELECT_ADDRESS, hd, hc, "ndis", NDIS_STATUS_TAPI_INVALDEVICECLASS},
        {LINECALLSELECT_LINE, hd, 0, "ndis", NDIS_STATUS_TAPI_INVALDEVICECLASS},
        {LINECALLSELECT_LINE, hd + 1, 0, "tapi/line", NDIS_STATUS_TAPI_INVALLINEHANDLE},
        {LINECALLSELECT_CALL, hd, hc, "tapi/line", NDIS_STATUS_TAPI_INVALDEVICECLASS},
        {LINECALLSELECT_CALL, hd, id(&adapter->Ctx[CTX_B2]), "ndis", NDIS_STATUS_TAPI_INVALCALLHANDLE},
        {LINECALLSELECT_CALL, hd, 0x1234, "ndis", NDIS_STATUS_TAPI_INVALCALLHANDLE},
    };
    for (auto &r : refused) {
        Bytes request = tapi::get_id(1, r.select, r.line, r.call, r.cls, 40);
        TapiAnswer a = query(OID_TAPI_GET_ID, request);
        EXPECT_EQ(counts(a), Counts(r.status, 0, 0)) << r.cls << " select " << r.select;
        EXPECT_EQ(a.buffer, request);
    }

    TapiAnswer a = get_id(LINECALLSELECT_CALL, 0, hc, "NdIs/anything", 33);
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 75, 75));
    tapi::VarString v = tapi::decode_var_string(a.buffer, 28);
    EXPECT_EQ(v.head.ulNeededSize, 33u);
    EXPECT_EQ(v.head.ulUsedSize, 33u);
    EXPECT_EQ(v.head.ulStringFormat, STRINGFORMAT_BINARY);
    EXPECT_EQ(v.head.ulStringOffset, 24u);
    Bytes expected = {std::uint8_t(ht), std::uint8_t(ht >> 8), std::uint8_t(ht >> 16), std::uint8_t(ht >> 24)};
    expected.insert(expected.end(), {'i', 's', 'd', 'n', 0});
    EXPECT_EQ(v.string, expected);

    a = get_id(LINECALLSELECT_CALL, 0, hc, "ndis", 32);
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 0, 0));
    v = tapi::decode_var_string(a.buffer, 28);
    EXPECT_EQ(v.head.ulNeededSize, 33u);
    EXPECT_EQ(v.head.ulUsedSize, 24u);
    EXPECT_TRUE(v.string.empty());

    a = get_id(LINECALLSELECT_LINE, hd, 0, "TAPI/LINE", 28);
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 66, 66));
    v = tapi::decode_var_string(a.buffer, 28);
    EXPECT_EQ(v.head.ulUsedSize, 28u);
    EXPECT_EQ(v.string, (Bytes{kBase, 0, 0, 0}));
    a = get_id(LINECALLSELECT_LINE, hd, 0, "tapi/line", 27);
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 0, 0));
    EXPECT_EQ(tapi::decode_var_string(a.buffer, 28).head.ulNeededSize, 28u);

    // A class text the buffer cuts short, or placed outside it, names no class.
    Bytes cut = tapi::get_id(1, LINECALLSELECT_CALL, 0, hc, "ndis", 24);
    EXPECT_EQ(query(OID_TAPI_GET_ID, cut, cut.size() - 2).status, NDIS_STATUS_TAPI_INVALDEVICECLASS);
    put<ULONG>(cut, 24, 0xFFFFFFFE);
    EXPECT_EQ(query(OID_TAPI_GET_ID, cut).status, NDIS_STATUS_TAPI_INVALDEVICECLASS);
    EXPECT_EQ(set(OID_TAPI_DROP, tapi::call_with_user_info(2, hc)).status, NDIS_STATUS_SUCCESS);
}

// ---- The rest of the dispatcher -------------------------------------------------------------

TEST_F(TapiLineTest, RequestsWithoutEffectAndUnknownRequests) {
    boot();
    initialize();
    HDRV_LINE hd = open(kBase);
    const Bytes request = tapi::get_call_address_id(1, 0x4321, 7);
    auto unchanged = [&](const TapiAnswer &a) { return a.buffer == request; };

    for (NDIS_OID oid : {OID_TAPI_CONFIG_DIALOG, OID_TAPI_DEV_SPECIFIC, OID_TAPI_NEGOTIATE_EXT_VERSION}) {
        TapiAnswer a = query(oid, request);
        EXPECT_EQ(counts(a), Counts(NDIS_STATUS_TAPI_OPERATIONUNAVAIL, 0, 0)) << std::hex << oid;
        EXPECT_TRUE(unchanged(a));
    }
    TapiAnswer a = query(OID_TAPI_GET_CALL_ADDRESS_ID, request);
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 0, 0));
    EXPECT_TRUE(unchanged(a)) << "the address ID stays as received";
    a = query(OID_TAPI_SET_CALL_PARAMS, request);
    EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 12, 12));
    EXPECT_TRUE(unchanged(a));

    for (NDIS_OID oid : {0x07030101u, 0x07030102u, 0x07030103u, 0x07030104u, 0x07030105u, 0x07030108u, 0x07030109u,
                         0x07030119u, 0x0703011Au, 0x0703011Bu, 0x0703011Cu, 0x0703011Du, 0x07030120u, 0x07030121u,
                         0x07030122u, 0x07030123u, 0x0F0F0F0Fu}) {
        a = query(oid, request);
        EXPECT_EQ(counts(a), Counts(NDIS_STATUS_INVALID_OID, 0, 0)) << std::hex << oid;
        EXPECT_TRUE(unchanged(a));
    }
    for (NDIS_OID oid : std::initializer_list<NDIS_OID>{
             OID_TAPI_ACCEPT, OID_TAPI_PROVIDER_SHUTDOWN, OID_TAPI_SET_DEFAULT_MEDIA_DETECTION, OID_TAPI_SET_DEV_CONFIG,
             OID_TAPI_SET_STATUS_MESSAGES, OID_TAPI_DIAL, OID_TAPI_SET_CALL_PARAMS, OID_TAPI_SET_MEDIA_MODE,
             OID_TAPI_SECURE_CALL, OID_TAPI_SEND_USER_USER_INFO, OID_TAPI_GET_DEV_CAPS, 0x0F0F0F0Fu}) {
        a = set(oid, request);
        EXPECT_EQ(counts(a), Counts(NDIS_STATUS_SUCCESS, 12, 0)) << std::hex << oid;
        EXPECT_TRUE(unchanged(a));
    }
    EXPECT_EQ(val(adapter->Gateway[0].htLine), 0x7100u);
    EXPECT_EQ(FindIsdnTapiEntry(hd, adapter), &adapter->Gateway[0]);
}

} // namespace tolvanex::test
