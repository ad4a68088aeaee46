// The general and WAN information requests: the fixed answers, the link
// information of the B-channel contexts, the WAN sets and the private
// reconfiguration request. Requests go in through NDIS TAPI's buffers, whose
// guard areas stop the run if the driver writes outside them.

#include "driver_fixture.h"
#include "host_ndis.h"

namespace tolvanex::test {

namespace {

using Bytes = std::vector<std::uint8_t>;

void put32(Bytes &b, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

Bytes le32(std::uint32_t v) {
    Bytes b;
    put32(b, v);
    return b;
}

Bytes link_record(std::uint32_t handle, std::uint32_t first) {
    Bytes b = le32(handle);
    for (std::uint32_t i = 0; i < 10; ++i)
        put32(b, first + i);
    return b;
}

struct Fixed {
    NDIS_OID oid;
    Bytes value;
};

// Every query answered with a fixed value, and that value as it must appear
// in the buffer.
std::vector<Fixed> fixed_answers() {
    Bytes supported;
    for (std::uint32_t oid :
         {0x00010101u, 0x00010102u, 0x00010103u, 0x00010104u, 0x00010105u, 0x00010106u, 0x00010111u,
          0x00010113u, 0x00010107u, 0x00010108u, 0x00010109u, 0x0001010Au, 0x0001010Bu, 0x0001010Cu,
          0x0001010Du, 0x00010110u, 0x0001010Fu, 0x04010104u, 0x04010105u, 0x04010106u, 0x04010102u,
          0x04010107u, 0x04010109u, 0x0401020Cu, 0x04010108u, 0x0401020Du, 0x00020101u, 0x00020102u,
          0x00020103u, 0x00020104u, 0x00020105u, 0x00000010u, 0x00000020u})
        put32(supported, oid);
    const char description[] = "ZOL NALK WAN TAPI Miniport driver";
    Bytes wan_info;
    for (std::uint32_t v : {1500u, 2u, 5u, 5u, 2u, 0u, 0xFFFFFFFFu, 0xFFFFFFFFu, 0x80000700u, 0u})
        put32(wan_info, v);
    return {
        {OID_GEN_SUPPORTED_LIST, supported},
        {OID_GEN_HARDWARE_STATUS, le32(0)},
        {OID_GEN_MEDIA_SUPPORTED, le32(3)},
        {OID_GEN_MEDIA_IN_USE, le32(3)},
        {OID_GEN_MAXIMUM_LOOKAHEAD, le32(2048)},
        {OID_GEN_MAXIMUM_FRAME_SIZE, le32(1500)},
        {OID_GEN_LINK_SPEED, le32(640)},
        {OID_GEN_TRANSMIT_BUFFER_SPACE, le32(2048)},
        {OID_GEN_RECEIVE_BUFFER_SPACE, le32(2048)},
        {OID_GEN_TRANSMIT_BLOCK_SIZE, le32(256)},
        {OID_GEN_RECEIVE_BLOCK_SIZE, le32(2048)},
        {OID_GEN_VENDOR_ID, {0xFF, 0xFF, 0xFF, 0x00}},
        {OID_GEN_VENDOR_DESCRIPTION, Bytes(description, description + sizeof description)},
        {OID_GEN_CURRENT_LOOKAHEAD, le32(2048)},
        {OID_GEN_DRIVER_VERSION, {0x00, 0x03}},
        {OID_GEN_MAXIMUM_TOTAL_SIZE, le32(1500)},
        {OID_GEN_MAC_OPTIONS, le32(0x0E)},
        {OID_GEN_XMIT_OK, le32(0)},
        {OID_GEN_RCV_OK, le32(0)},
        {OID_GEN_XMIT_ERROR, le32(0)},
        {OID_GEN_RCV_ERROR, le32(0)},
        {OID_GEN_RCV_NO_BUFFER, le32(0)},
        {OID_WAN_CURRENT_ADDRESS, {'T', 'o', 'l', 'v', 'a', 'n'}},
        {OID_WAN_PROTOCOL_TYPE, le32(0)},
        {OID_WAN_MEDIUM_SUBTYPE, le32(2)},
        {OID_WAN_HEADER_FORMAT, le32(1)},
        {OID_WAN_GET_INFO, wan_info},
        {OID_WAN_GET_COMP_INFO, le32(0)},
    };
}

const std::uint16_t kAllStates[] = {CTX_UNUSED,  CTX_FREE,     CTX_CALL_REQUESTED, CTX_CALLING,
                                    CTX_OPEN,    CTX_CLEARING, CTX_CONNECTED,      CTX_OPEN_SENDING_DATA};

} // namespace

class WanRequestTest : public DriverTest {
  protected:
    void SetUp() override { start(); }
    void TearDown() override {
        if (!host.stopped())
            host.ndis().halt();
    }

    TapiAnswer query(NDIS_OID oid, std::size_t length) { return host.tapi().query(oid, Bytes(length, 0)); }
    TapiAnswer query(NDIS_OID oid, const Bytes &request, std::size_t length) {
        return host.tapi().query(oid, request, length);
    }
    TapiAnswer set(NDIS_OID oid, const Bytes &request, std::size_t length = SIZE_MAX) {
        return host.tapi().set(oid, request, length);
    }

    // A B-channel context in `state` whose link NDISWAN knows; returns the
    // link handle the line up announced.
    std::uint32_t link(int index, std::uint16_t state) {
        PCTX c = &adapter->Ctx[index];
        InitContext(c);
        c->LinkSpeed = 64000;
        ZolWanSendLineUp(adapter, c);
        c->State = state;
        return host.ndiswan().links().back().link_handle;
    }

    // The handler itself with counts that start as a sentinel: NDIS TAPI
    // starts both at 0, which cannot tell "untouched" from "cleared".
    struct Direct {
        NDIS_STATUS status;
        ULONG done, needed;
    };
    Direct direct(bool is_query, NDIS_OID oid, Bytes buffer) {
        Direct d{0, 0xEEEEEEEE, 0xEEEEEEEE};
        d.status = is_query ? ZolQueryInformation(adapter, oid, buffer.data(), static_cast<ULONG>(buffer.size()),
                                                  &d.done, &d.needed)
                            : ZolSetInformation(adapter, oid, buffer.data(), static_cast<ULONG>(buffer.size()),
                                                &d.done, &d.needed);
        return d;
    }
};

// ---- Fixed answers ---------------------------------------------------------------------

TEST_F(WanRequestTest, EachFixedQueryAnswersItsBytesAtEveryLengthAndNothingBeyond) {
    for (const Fixed &f : fixed_answers()) {
        SCOPED_TRACE(NdisTapi::oid_name(f.oid));
        const std::size_t n = f.value.size();
        for (std::size_t length = 0; length <= n + 8; ++length) {
            SCOPED_TRACE("length " + std::to_string(length));
            TapiAnswer a = query(f.oid, length);
            if (length < n) {
                EXPECT_EQ(a.status, NDIS_STATUS_BUFFER_TOO_SHORT);
                EXPECT_EQ(a.bytes_needed, n);
                EXPECT_EQ(a.bytes_done, 0u);
                EXPECT_EQ(a.buffer, Bytes(length, 0)) << "nothing written";
            } else {
                EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
                EXPECT_EQ(a.bytes_done, n);
                EXPECT_EQ(a.bytes_needed, 0u);
                EXPECT_EQ(Bytes(a.buffer.begin(), a.buffer.begin() + static_cast<std::ptrdiff_t>(n)), f.value);
                EXPECT_EQ(Bytes(a.buffer.begin() + static_cast<std::ptrdiff_t>(n), a.buffer.end()),
                          Bytes(length - n, 0));
            }
        }
    }
}

TEST_F(WanRequestTest, TheListNamesNoFilterAndNoTapiCodeAndTheWanInfoIsLive) {
    TapiAnswer list = query(OID_GEN_SUPPORTED_LIST, 132);
    ASSERT_EQ(list.status, NDIS_STATUS_SUCCESS);
    const std::uint32_t unlisted[] = {OID_GEN_CURRENT_PACKET_FILTER, OID_TAPI_OPEN, OID_TAPI_MAKE_CALL};
    for (std::uint32_t code : unlisted)
        for (std::size_t i = 0; i < 132; i += 4)
            EXPECT_NE(std::memcmp(list.buffer.data() + i, &code, 4), 0) << "code " << code << " is not listed";

    // The WAN information follows the ADAPTER, not a copy made at start.
    adapter->WanInfo.MaxFrameSize = 1200;
    TapiAnswer info = query(OID_WAN_GET_INFO, 40);
    EXPECT_EQ(info.buffer[0] | info.buffer[1] << 8, 1200);
}

TEST_F(WanRequestTest, QueriesTheWanPathDoesNotKeepGoToTheTapiDispatcher) {
    const NDIS_OID forwarded[] = {OID_GEN_CURRENT_PACKET_FILTER, OID_GEN_PROTOCOL_OPTIONS,
                                  OID_WAN_PERMANENT_ADDRESS,     OID_WAN_QUALITY_OF_SERVICE,
                                  OID_WAN_SET_LINK_INFO,         OID_WAN_SET_COMP_INFO,
                                  OID_WAN_LINE_COUNT,            OID_PRIVATE_RESERVED};
    for (NDIS_OID oid : forwarded) {
        SCOPED_TRACE(NdisTapi::oid_name(oid));
        TapiAnswer a = query(oid, 64);
        EXPECT_EQ(a.status, NDIS_STATUS_INVALID_OID);
        EXPECT_EQ(a.bytes_done, 0u);
        EXPECT_EQ(a.bytes_needed, 0u);
        EXPECT_EQ(a.buffer, Bytes(64, 0));
    }
    EXPECT_EQ(adapter->ReconfigRequest, 0) << "0x20 is listed but asks for nothing";
}

// ---- Link information ------------------------------------------------------------------

TEST_F(WanRequestTest, LinkInfoIsAnsweredOnlyForAnOpenLink) {
    for (std::uint16_t state : kAllStates) {
        SCOPED_TRACE("state " + std::to_string(state));
        std::uint32_t handle = link(CTX_B2, state);
        TapiAnswer a = query(OID_WAN_GET_LINK_INFO, le32(handle), 44);
        if (state == CTX_OPEN || state == CTX_OPEN_SENDING_DATA) {
            ASSERT_EQ(a.status, NDIS_STATUS_SUCCESS);
            EXPECT_EQ(a.bytes_done, 44u);
            Bytes expected;
            for (std::uint32_t v : {0u, 1500u, 1500u, 0u, 0u, 0x700u, 0x700u, 0u, 0u, 0u, 0u})
                put32(expected, v);
            EXPECT_EQ(a.buffer, expected) << "the handle word stays 0 until a set stores one";
        } else {
            EXPECT_EQ(a.status, NDIS_STATUS_FAILURE) << "CTX_CONNECTED too: not yet past the general loop";
            EXPECT_EQ(a.bytes_done, 0u);
            Bytes untouched = le32(handle);
            untouched.resize(44, 0);
            EXPECT_EQ(a.buffer, untouched);
        }
    }
}

TEST_F(WanRequestTest, LinkInfoIsRefusedForEveryHandleThatIsNotABChannel) {
    link(CTX_B1, CTX_OPEN);
    adapter->Ctx[CTX_LISTEN].State = CTX_OPEN;
    const std::uint32_t handles[] = {
        0u,
        ZolIdentity(adapter, adapter),
        ZolIdentity(adapter, &adapter->Gateway[0]),
        ZolIdentity(adapter, &adapter->Gateway[1]),
        ZolIdentity(adapter, &adapter->Ctx[CTX_B1]) + 1,
        0xFFFFFFFFu,
        static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&adapter->Ctx[CTX_LISTEN])),
    };
    for (std::uint32_t handle : handles) {
        SCOPED_TRACE("handle " + std::to_string(handle));
        TapiAnswer get = query(OID_WAN_GET_LINK_INFO, le32(handle), 44);
        EXPECT_EQ(get.status, NDIS_STATUS_FAILURE);
        EXPECT_EQ(get.bytes_done, 0u);
        TapiAnswer put = set(OID_WAN_SET_LINK_INFO, link_record(handle, 7));
        EXPECT_EQ(put.status, NDIS_STATUS_INVALID_DATA);
        EXPECT_EQ(put.bytes_done, 44u);
        EXPECT_EQ(put.bytes_needed, 44u);
    }
}

TEST_F(WanRequestTest, ASetIsStoredWholeOnlyInTheDataPhaseAndReadBack) {
    for (std::uint16_t state : kAllStates) {
        SCOPED_TRACE("state " + std::to_string(state));
        std::uint32_t handle = link(CTX_B1, state);
        Bytes record = link_record(handle, 0xFFFFFF00);
        TapiAnswer a = set(OID_WAN_SET_LINK_INFO, record);
        EXPECT_EQ(a.buffer, record) << "a set writes nothing back";
        Bytes stored(44);
        std::memcpy(stored.data(), &adapter->Ctx[CTX_B1].LinkInfo, 44);
        if (state == CTX_OPEN || state == CTX_CONNECTED || state == CTX_OPEN_SENDING_DATA) {
            EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
            EXPECT_EQ(a.bytes_done, 44u);
            EXPECT_EQ(a.bytes_needed, 0u);
            EXPECT_EQ(stored, record) << "every bit stored unchanged, the handle word too";
        } else {
            EXPECT_EQ(a.status, state == CTX_UNUSED || state == CTX_CLEARING ? NDIS_STATUS_INVALID_DATA
                                                                            : NDIS_STATUS_RESOURCES);
            EXPECT_EQ(a.bytes_done, 44u);
            EXPECT_EQ(a.bytes_needed, 44u);
            EXPECT_NE(stored, record);
        }
    }

    std::uint32_t handle = link(CTX_B2, CTX_CONNECTED);
    Bytes record = link_record(0x12345678, 100);
    std::memcpy(record.data(), &handle, 4);
    ASSERT_EQ(set(OID_WAN_SET_LINK_INFO, record).status, NDIS_STATUS_SUCCESS);
    adapter->Ctx[CTX_B2].State = CTX_OPEN;
    TapiAnswer got = query(OID_WAN_GET_LINK_INFO, le32(handle), 44);
    EXPECT_EQ(got.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(got.buffer, record) << "the record as set, handle word included";
    EXPECT_EQ(adapter->Ctx[CTX_B1].LinkInfo.MaxSendFrameSize, 0xFFFFFF00u) << "the other link is untouched";
}

TEST_F(WanRequestTest, LinkInfoAtEveryLengthStaysInsideTheBuffer) {
    std::uint32_t open = link(CTX_B1, CTX_OPEN);
    std::uint32_t calling = link(CTX_B2, CTX_CALLING);
    Bytes stored(44);
    std::memcpy(stored.data(), &adapter->Ctx[CTX_B1].LinkInfo, 44);
    for (std::size_t length = 0; length <= 52; ++length) {
        SCOPED_TRACE("length " + std::to_string(length));
        Bytes request = le32(open);
        request.resize(length < 4 ? 4 : length, 0);

        TapiAnswer a = query(OID_WAN_GET_LINK_INFO, request, length);
        if (length < 44) {
            EXPECT_EQ(a.status, NDIS_STATUS_BUFFER_TOO_SHORT);
            EXPECT_EQ(a.bytes_needed, 44u);
            EXPECT_EQ(a.bytes_done, 0u);
            EXPECT_EQ(a.buffer, Bytes(request.begin(), request.begin() + static_cast<std::ptrdiff_t>(length)));
        } else {
            EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
            EXPECT_EQ(a.bytes_done, 44u);
            EXPECT_EQ(Bytes(a.buffer.begin(), a.buffer.begin() + 44), stored);
            EXPECT_EQ(Bytes(a.buffer.begin() + 44, a.buffer.end()), Bytes(length - 44, 0));
        }

        // A refused handle is refused whatever the length, once it can be read.
        TapiAnswer refused = query(OID_WAN_GET_LINK_INFO, le32(calling), length);
        EXPECT_EQ(refused.status, length < 4 ? NDIS_STATUS_BUFFER_TOO_SHORT : NDIS_STATUS_FAILURE);

        Bytes record = link_record(open, 0x40);
        record.resize(length < 44 ? 44 : length, 0x33);
        TapiAnswer s = set(OID_WAN_SET_LINK_INFO, record, length);
        if (length == 44) {
            EXPECT_EQ(s.status, NDIS_STATUS_SUCCESS);
            EXPECT_EQ(s.bytes_done, 44u);
            EXPECT_EQ(s.bytes_needed, 0u);
            std::memcpy(stored.data(), record.data(), 44);
        } else {
            EXPECT_EQ(s.status, NDIS_STATUS_INVALID_LENGTH);
            EXPECT_EQ(s.bytes_done, 0u);
            EXPECT_EQ(s.bytes_needed, 44u);
        }
        Bytes now(44);
        std::memcpy(now.data(), &adapter->Ctx[CTX_B1].LinkInfo, 44);
        EXPECT_EQ(now, stored) << "only an exact 44-byte set is stored";
    }
}

// ---- Sets ----------------------------------------------------------------------------------

TEST_F(WanRequestTest, MediumSubtypeAndHeaderFormatAcceptOnlyAFourByteOne) {
    const NDIS_OID oids[] = {OID_WAN_MEDIUM_SUBTYPE, OID_WAN_HEADER_FORMAT};
    for (NDIS_OID oid : oids) {
        SCOPED_TRACE(NdisTapi::oid_name(oid));
        for (std::size_t length = 0; length <= 8; ++length) {
            SCOPED_TRACE("length " + std::to_string(length));
            Bytes one = le32(1);
            one.resize(8, 0);
            TapiAnswer a = set(oid, one, length);
            if (length == 4) {
                EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
                EXPECT_EQ(a.bytes_done, 4u);
            } else {
                EXPECT_EQ(a.status, NDIS_STATUS_BUFFER_TOO_SHORT) << "even when long enough";
                EXPECT_EQ(a.bytes_done, 0u);
            }
            EXPECT_EQ(a.bytes_needed, 0u);
        }
        for (std::uint32_t value : {0u, 2u, 0x101u, 0xFFFFFFFFu}) {
            TapiAnswer a = set(oid, le32(value));
            EXPECT_EQ(a.status, NDIS_STATUS_FAILURE) << "value " << value;
            EXPECT_EQ(a.bytes_done, 0u);
        }
    }
    EXPECT_EQ(query(OID_WAN_MEDIUM_SUBTYPE, 4).buffer, le32(2)) << "a set stores nothing";
}

TEST_F(WanRequestTest, CompressionSetsSucceedAndThePacketFilterIsRefusedAtAnyLength) {
    for (std::size_t length : {0u, 4u, 37u}) {
        Bytes payload(length, 0x5C);
        TapiAnswer comp = set(OID_WAN_SET_COMP_INFO, payload);
        EXPECT_EQ(comp.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(comp.bytes_done, length);
        EXPECT_EQ(comp.bytes_needed, 0u);
        EXPECT_EQ(comp.buffer, payload);

        TapiAnswer filter = set(OID_GEN_CURRENT_PACKET_FILTER, payload);
        EXPECT_EQ(filter.status, NDIS_STATUS_INVALID_OID);
        EXPECT_EQ(filter.buffer, payload);
    }
}

TEST_F(WanRequestTest, ASetTheTapiDispatcherAcceptsReadsTheWholeBuffer) {
    const NDIS_OID forwarded[] = {OID_PRIVATE_RESERVED, OID_WAN_GET_INFO, OID_GEN_PROTOCOL_OPTIONS};
    for (NDIS_OID oid : forwarded) {
        SCOPED_TRACE(NdisTapi::oid_name(oid));
        Bytes payload(12, 0x21);
        TapiAnswer a = set(oid, payload);
        EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(a.bytes_done, 12u);
        EXPECT_EQ(a.bytes_needed, 0u);
        EXPECT_EQ(a.buffer, payload);
    }
    EXPECT_EQ(adapter->ReconfigRequest, 0) << "only the query asks for a reconfiguration";
}

TEST_F(WanRequestTest, RefusalsThatLeaveTheCountsAsNdisGaveThem) {
    std::uint32_t calling = link(CTX_B1, CTX_CALLING);
    std::uint32_t open = link(CTX_B2, CTX_OPEN);

    Direct d = direct(false, OID_GEN_CURRENT_PACKET_FILTER, le32(0x0F));
    EXPECT_EQ(d.status, NDIS_STATUS_INVALID_OID);
    EXPECT_EQ(d.done, 0xEEEEEEEEu);
    EXPECT_EQ(d.needed, 0xEEEEEEEEu);

    d = direct(false, OID_WAN_HEADER_FORMAT, le32(0));
    EXPECT_EQ(d.status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(d.done, 0xEEEEEEEEu);
    EXPECT_EQ(d.needed, 0xEEEEEEEEu);

    Bytes request = le32(calling);
    request.resize(44);
    d = direct(true, OID_WAN_GET_LINK_INFO, request);
    EXPECT_EQ(d.status, NDIS_STATUS_FAILURE);
    EXPECT_EQ(d.done, 0xEEEEEEEEu);
    EXPECT_EQ(d.needed, 0xEEEEEEEEu);

    // A query answered leaves BytesNeeded as NDIS gave it.
    request = le32(open);
    request.resize(44);
    d = direct(true, OID_WAN_GET_LINK_INFO, request);
    EXPECT_EQ(d.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(d.done, 44u);
    EXPECT_EQ(d.needed, 0xEEEEEEEEu);
    d = direct(true, OID_GEN_MAC_OPTIONS, Bytes(4));
    EXPECT_EQ(d.done, 4u);
    EXPECT_EQ(d.needed, 0xEEEEEEEEu);
}

// ---- Private reconfiguration -------------------------------------------------------------

TEST_F(WanRequestTest, ThePrivateQueryAsksTheNextTurnForAReconfiguration) {
    open_isdn();
    std::size_t before = events(EVT_RECONFIGURATION_DONE);

    TapiAnswer shortq = query(OID_PRIVATE_RECONFIGURE, 3);
    EXPECT_EQ(shortq.status, NDIS_STATUS_BUFFER_TOO_SHORT);
    EXPECT_EQ(shortq.bytes_needed, 4u);
    EXPECT_EQ(adapter->ReconfigRequest, 0) << "a refused query asks for nothing";

    TapiAnswer a = query(OID_PRIVATE_RECONFIGURE, Bytes{1, 2, 3, 4}, 4);
    EXPECT_EQ(a.status, NDIS_STATUS_SUCCESS);
    EXPECT_EQ(a.bytes_done, 4u);
    EXPECT_EQ(a.buffer, le32(0));
    EXPECT_EQ(adapter->ReconfigRequest, 1);

    host.settle();
    EXPECT_EQ(adapter->ReconfigRequest, 1) << "the general thread is not woken for it";
    host.run_for(seconds(1));
    EXPECT_EQ(adapter->ReconfigRequest, 0);
    EXPECT_EQ(events(EVT_RECONFIGURATION_DONE), before + 1);
}

} // namespace tolvanex::test
