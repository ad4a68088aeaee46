-- Wireshark dissector for the ISDN driver's command blocks (ISDN_CMD and
-- ISDN_DATA_CMD, platform/pimisdn.h) as tolvanex-sim captures them on its
-- "ISDN driver" interface (LINKTYPE_USER0). Data blocks go on to PPP.
--   tshark -X lua_script:tools/wireshark/tolvanex.lua -r run.pcapng

local p = Proto("tolvanex_isdn", "Tolvanex ISDN command block")

local classes = { [1] = "control", [2] = "read", [6] = "cancel" }
local control_codes = { [0x41] = "call", [0x42] = "call-response", [0x43] = "clear", [0x44] = "clear-response",
                        [0x5A] = "send", [0x01] = "listen" }
local messages = { [0x03] = "APP_FLOW_ON", [0x04] = "APP_FLOW_OFF", [0x61] = "APP_CONN_IN", [0x62] = "APP_CONN_CO",
                   [0x63] = "APP_CLEAR_IN", [0x64] = "APP_CLEAR_CO", [0x7A] = "APP_DATA_IN" }
local statuses = { [0] = "ISDN_OK", [1] = "ISDN_FAILED", [2] = "ISDN_BAD_HANDLE", [3] = "ISDN_WRONG_STATE",
                   [4] = "ISDN_NO_HANDLE", [5] = "ISDN_CANCELLED", [6] = "ISDN_UNKNOWN_COMMAND",
                   [7] = "ISDN_BAD_LENGTH" }
local causes = { [0] = "none", [1] = "unallocated number", [16] = "normal clearing", [17] = "user busy",
                 [18] = "no user responding", [19] = "no answer", [21] = "call rejected",
                 [28] = "invalid number format", [31] = "normal, unspecified",
                 [34] = "no circuit/channel available", [41] = "temporary failure" }

local f = p.fields
f.class = ProtoField.uint8("tolvanex_isdn.command", "Command class", base.DEC, classes)
f.code = ProtoField.uint8("tolvanex_isdn.code", "Code", base.HEX)
f.name = ProtoField.string("tolvanex_isdn.name", "Command or message")
f.status = ProtoField.uint32("tolvanex_isdn.status", "Status", base.DEC, statuses)
f.hcom = ProtoField.uint8("tolvanex_isdn.hcom", "hCom", base.DEC)
f.local_address = ProtoField.string("tolvanex_isdn.local_address", "Local address")
f.number = ProtoField.string("tolvanex_isdn.number", "Called or calling number")
f.cause = ProtoField.uint8("tolvanex_isdn.cause", "Cause", base.DEC, causes)
f.data_length = ProtoField.uint16("tolvanex_isdn.data_length", "Data length", base.DEC)
f.data = ProtoField.bytes("tolvanex_isdn.data", "Data")

local ppp = Dissector.get("ppp_hdlc")

local function cstring(tvb, offset, size)
    if tvb:len() < offset + 1 then return "" end
    return tvb(offset, math.min(size, tvb:len() - offset)):stringz()
end

function p.dissector(tvb, pinfo, tree)
    if tvb:len() < 206 then return 0 end
    pinfo.cols.protocol = "TOLVANEX-ISDN"
    local class, code = tvb(0, 1):uint(), tvb(1, 1):uint()
    local name
    if class == 1 then
        name = control_codes[code]
    elseif class == 2 then
        name = code == 0 and "read" or messages[code]
    elseif class == 6 and code == 1 then
        name = "cancel-listen"
    end
    name = name or string.format("unknown %d/%d", class, code)
    local t = tree:add(p, tvb(), "Tolvanex ISDN block: " .. name)
    t:add(f.class, tvb(0, 1))
    t:add(f.code, tvb(1, 1))
    t:add(f.name, name):set_generated()
    t:add_le(f.status, tvb(2, 4))
    t:add(f.hcom, tvb(6, 1))
    t:add(f.local_address, tvb(136, 33), cstring(tvb, 136, 33))
    t:add(f.number, tvb(169, 33), cstring(tvb, 169, 33))
    t:add(f.cause, tvb(202, 1))
    t:add_le(f.data_length, tvb(204, 2))
    local status = tvb(2, 4):le_uint()
    local info = string.format("%s hCom %d", name, tvb(6, 1):uint())
    if status ~= 0 then info = info .. " " .. (statuses[status] or ("status " .. status)) end
    local number = cstring(tvb, 169, 33)
    if number ~= "" then info = info .. " number " .. number end
    if code == 0x63 then info = info .. " cause " .. tvb(202, 1):uint() end
    local length = tvb(204, 2):le_uint()
    if length > 0 and tvb:len() >= 206 + length then
        t:add(f.data, tvb(206, length))
        info = info .. string.format(" data %d bytes", length)
        pinfo.cols.info = info
        ppp:call(tvb(206, length):tvb(), pinfo, tree)
        pinfo.cols.info:prepend(info .. ": ")
    else
        pinfo.cols.info = info
    end
    return tvb:len()
end

local encap = (wtap_encaps and wtap_encaps.USER0) or wtap.USER0
DissectorTable.get("wtap_encap"):add(encap, p)
