-- Wireshark / tshark dissector for captures saved by Quorvane's traffic monitor (pcapng, link
-- type USER0). Each packet is one frame on the drives' serial bus; the packet's direction flag
-- tells a command written by the program (outbound) from a reply received (inbound).
--
--   tshark -X lua_script:quorvane.lua -r traffic.pcapng -T fields -e quorvane.command ...
-- or copy it into ~/.local/lib/wireshark/plugins/.

local proto = Proto("quorvane", "REZizavur drive bus")

local f = {
    framing = ProtoField.string("quorvane.framing", "Framing"),
    kind = ProtoField.string("quorvane.kind", "Kind"),
    address = ProtoField.string("quorvane.address", "Address"),
    command = ProtoField.string("quorvane.command", "Command"),
    data = ProtoField.string("quorvane.data", "Reply data"),
    status = ProtoField.uint8("quorvane.status", "Status", base.HEX),
    ready = ProtoField.bool("quorvane.ready", "Ready"),
    error_code = ProtoField.uint8("quorvane.error_code", "Error code", base.DEC),
    error_text = ProtoField.string("quorvane.error_text", "Error text"),
    checksum = ProtoField.uint8("quorvane.checksum", "Checksum", base.HEX),
    checksum_expected = ProtoField.uint8("quorvane.checksum_expected", "Checksum computed", base.HEX),
    checksum_ok = ProtoField.bool("quorvane.checksum_ok", "Checksum good"),
}
proto.fields = { f.framing, f.kind, f.address, f.command, f.data, f.status, f.ready, f.error_code,
                 f.error_text, f.checksum, f.checksum_expected, f.checksum_ok }

local direction = Field.new("frame.packet_flags_direction")

local STX, ETX, CR, LF = 2, 3, 13, 10
local READY = 0x20
local error_texts = { [0] = "No Error", [1] = "Error 1", [2] = "Invalid Command", [3] = "Invalid Operand",
                      [15] = "Device is already executing a command", [16] = "Error 16" }
local function error_text(code) return error_texts[code] or ("Error " .. code) end

-- XOR from the last STX before the ETX at `etx` (0-based offsets in the buffer) up to the ETX.
local function checksum(tvb, etx)
    local from = 0
    for i = etx, 0, -1 do
        if tvb(i, 1):uint() == STX then from = i break end
    end
    local sum = 0
    for i = from, etx do sum = bit.bxor(sum, tvb(i, 1):uint()) end
    return sum
end

local function status_items(tree, tvb, at)
    local s = tvb(at, 1):uint()
    local code = bit.band(s, 15)
    tree:add(f.status, tvb(at, 1))
    tree:add(f.ready, tvb(at, 1), bit.band(s, READY) ~= 0)
    tree:add(f.error_code, tvb(at, 1), code)
    tree:add(f.error_text, tvb(at, 1), error_text(code))
    return (bit.band(s, READY) ~= 0 and "ready, " or "busy, ") .. error_text(code)
end

local function checksum_items(tree, tvb)
    local n = tvb:len()
    local got, want = tvb(n - 1, 1):uint(), checksum(tvb, n - 2)
    tree:add(f.checksum, tvb(n - 1, 1))
    tree:add(f.checksum_expected, tvb(n - 1, 1), want)
    tree:add(f.checksum_ok, tvb(n - 1, 1), got == want)
    return got == want and "checksum ok" or string.format("checksum bad, expected %02X", want)
end

function proto.dissector(tvb, pinfo, root)
    local n = tvb:len()
    if n == 0 then return end
    pinfo.cols.protocol = "Quorvane"
    local tree = root:add(proto, tvb())
    local dir = direction()
    local out = dir and dir.value == 2
    if not dir then out = pinfo.p2p_dir == 0 end
    local first, last = tvb(0, 1):uint(), tvb(n - 1, 1):uint()
    local stx_frame = first == STX and n >= 3 and tvb(n - 2, 1):uint() == ETX
    local info

    if out and stx_frame then
        -- STX, address, "1", command, ETX, checksum; no address leaves STX "1" ETX checksum.
        tree:add(f.framing, "OEM")
        tree:add(f.kind, "command")
        local command = ""
        if n > 4 then
            tree:add(f.address, tvb(1, 1))
            if n > 5 then
                tree:add(f.command, tvb(3, n - 5))
                command = tvb(3, n - 5):string()
            end
        end
        info = "OEM command " .. (n > 4 and tvb(1, 1):string() or "") .. command .. ", " .. checksum_items(tree, tvb)
    elseif out and first == string.byte("/") and last == CR then
        tree:add(f.framing, "DT")
        tree:add(f.kind, "command")
        if n > 2 then tree:add(f.address, tvb(1, 1)) end
        if n > 3 then tree:add(f.command, tvb(2, n - 3)) end
        info = "DT command " .. tvb(0, n - 1):string()
    elseif not out and stx_frame and n >= 5 then
        -- STX, "0", status, data, ETX, checksum.
        tree:add(f.framing, "OEM")
        tree:add(f.kind, "reply")
        tree:add(f.address, tvb(1, 1))
        local data = n > 5 and tvb(3, n - 5):string() or ""
        tree:add(f.data, n > 5 and tvb(3, n - 5) or tvb(2, 0), data)
        info = 'OEM reply "' .. data .. '", ' .. status_items(tree, tvb, 2) .. ", " .. checksum_items(tree, tvb)
    elseif not out then
        -- Lead-in, "/", "0", status, data, ETX, CR (and LF): the status follows the first "0",
        -- the data runs from the fifth character to the one before the ETX.
        local len = n
        for i = 0, n - 1 do
            if tvb(i, 1):uint() == CR then len = i break end
        end
        local zero
        for i = 0, len - 2 do
            if tvb(i, 1):uint() == string.byte("0") then zero = i break end
        end
        if zero and len < n then
            tree:add(f.framing, "DT")
            tree:add(f.kind, "reply")
            tree:add(f.address, tvb(zero, 1))
            local data = len > 5 and tvb(4, len - 5):string() or ""
            tree:add(f.data, len > 5 and tvb(4, len - 5) or tvb(0, 0), data)
            info = 'DT reply "' .. data .. '", ' .. status_items(tree, tvb, zero + 1)
        end
    end
    if not info then
        tree:add(f.framing, "none")
        info = (out and "out " or "in ") .. n .. " bytes"
    end
    pinfo.cols.info = info
end

DissectorTable.get("wtap_encap"):add(wtap.USER0, proto)
