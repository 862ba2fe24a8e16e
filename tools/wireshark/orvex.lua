-- Wireshark / tshark dissector for the camera's firmware-update command set:
-- the twelve vendor requests on the default pipe (bRequest 0xB0..0xBB, wIndex
-- 0xAA55). It runs after the USB dissector on USBPcap captures, names each
-- request, decodes the replies the update engine relies on and flags setup
-- packets that break the command set's rules.
--
-- Install: copy this file into Wireshark's personal Lua plugins folder
-- (Help > About Wireshark > Folders > "Personal Lua Plugins", on Linux
-- ~/.local/lib/wireshark/plugins/), or load it for one run with
--   tshark -X lua_script:tools/wireshark/orvex.lua -r capture.pcap
-- Display filter: "orvex"; fields under "orvex." (e.g. orvex.request).

local orvex = Proto("orvex", "ORVEX camera update command set")

local INDEX = 0xAA55

-- bRequest -> name, direction ("in"/"out"), fixed wLength, wValue rule.
-- wValue rule: "zero" = must be 0, "length" = equals wLength, "page" = an
-- EEPROM page number, "count" = a page count, not 0.
local requests = {
    [0xB0] = { name = "UVCGet_VERSION",    dir = "in",  len = 12,   value = "zero" },
    [0xB1] = { name = "UVCStart_UPDATE",   dir = "out", len = 2,    value = "zero" },
    [0xB2] = { name = "UVCWrite_EEPROM",   dir = "out", len = 256,  value = "page" },
    [0xB3] = { name = "UVCRead_EEPROM",    dir = "in",  len = 1024, value = "page" },
    [0xB4] = { name = "UVCReset_ID",       dir = "in",  len = 1,    value = "zero" },
    [0xB5] = { name = "UVCSet_FILESIZE",   dir = "in",  len = 1,    value = "count" },
    [0xB6] = { name = "UVCWrite_SPI_PAGE", dir = "out", len = 4096, value = "length" },
    [0xB7] = { name = "UVCGet_FW_STATUS",  dir = "in",  len = 1,    value = "zero" },
    [0xB8] = { name = "UVCGet_STATUS",     dir = "in",  len = 1,    value = "zero" },
    [0xB9] = { name = "UVCExit_UPDATE",    dir = "in",  len = 2,    value = "zero" },
    [0xBA] = { name = "UVCGet_ALIVE",      dir = "in",  len = 2,    value = "zero" },
    [0xBB] = { name = "UVCReset_ISP",      dir = "in",  len = 2,    value = "zero" },
}

local request_names = {}
for code, r in pairs(requests) do request_names[code] = r.name end

local f = orvex.fields
f.request      = ProtoField.uint8("orvex.request", "Request", base.HEX, request_names)
f.stage        = ProtoField.string("orvex.stage", "Stage")
f.eeprom_page  = ProtoField.uint16("orvex.eeprom.page", "EEPROM page (256 bytes)", base.DEC)
f.eeprom_addr  = ProtoField.uint32("orvex.eeprom.address", "EEPROM address", base.HEX)
f.eeprom_pages = ProtoField.uint16("orvex.eeprom.pages", "EEPROM pages in this transfer", base.DEC)
f.spi_pages    = ProtoField.uint16("orvex.spi.pages", "Flash pages announced (4096 bytes)", base.DEC)
f.spi_page     = ProtoField.uint16("orvex.spi.page", "Flash page (0-based, in order of sending)", base.DEC)
f.spi_total    = ProtoField.uint16("orvex.spi.total", "Flash pages announced before it", base.DEC)
f.fx3_version  = ProtoField.string("orvex.version.fx3", "FX3 version")
f.isp_version  = ProtoField.string("orvex.version.isp", "ISP version")
f.isp_raw      = ProtoField.uint24("orvex.version.isp_raw", "ISP version value", base.HEX)
f.aud_version  = ProtoField.uint8("orvex.version.aud", "Audio version (compared)", base.HEX)
f.aud_full     = ProtoField.uint24("orvex.version.aud_full", "Audio version (logged)", base.HEX)
f.record_ok    = ProtoField.bool("orvex.version.valid", "Version record marker AA 55")
f.isp_reset    = ProtoField.bool("orvex.version.isp_needs_reset", "ISP reports 0xFFFFFF (needs reset)")
f.status       = ProtoField.uint8("orvex.status", "Readiness status", base.HEX, { [0xA1] = "ready" })
f.ready        = ProtoField.bool("orvex.ready", "Ready for a flash download")
f.fw_status    = ProtoField.uint8("orvex.fw_status", "Firmware status", base.DEC,
                                  { [0] = "busy", [1] = "done", [3] = "done (status 3)" })
f.alive        = ProtoField.bool("orvex.alive", "Alive (AA 55)")
f.reply        = ProtoField.bytes("orvex.reply", "Reply")
f.failed       = ProtoField.bool("orvex.failed", "Request failed (USBD status not 0)")
f.violation    = ProtoField.string("orvex.violation", "Rule broken")

local e_rule = ProtoExpert.new("orvex.rule", "Setup packet breaks the command set's rules",
                               expert.group.PROTOCOL, expert.severity.WARN)
local e_reply = ProtoExpert.new("orvex.reply_bad", "Reply the update engine does not accept",
                                expert.group.RESPONSE_CODE, expert.severity.NOTE)
orvex.experts = { e_rule, e_reply }

local x_stage    = Field.new("usb.control_stage")
local x_irp_dir  = Field.new("usb.irp_info.direction")
local x_bm       = Field.new("usb.bmRequestType")
local x_request  = Field.new("usb.setup.bRequest")
local x_value    = Field.new("usb.setup.wValue")
local x_index    = Field.new("usb.setup.wIndex")
local x_length   = Field.new("usb.setup.wLength")
local x_out      = Field.new("usb.data_fragment")
local x_in       = Field.new("usb.control.Response")
local x_req_in   = Field.new("usb.request_in")
local x_usbd     = Field.new("usb.usbd_status")

-- Per-frame results of the first pass: setup packets by frame number (for
-- their completions) and the flash page counters at each page.
local setups = {}
local pages = {}
local announced, sent = nil, 0

function orvex.init()
    setups, pages = {}, {}
    announced, sent = nil, 0
end

local function val(x) local fi = x(); return fi and fi.value or nil end
-- The field's bytes and the packet range they lie in.
local function bytes_of(x)
    local fi = x()
    if not fi then return nil, nil end
    return fi.range:bytes(), fi.range
end

local function rule(tree, pinfo, text)
    local item = tree:add(f.violation, text)
    item:add_proto_expert_info(e_rule, text)
    pinfo.cols.info:append(" [rule: " .. text .. "]")
end

-- The setup packet: its name, its fields and the rules it breaks.
local function dissect_setup(pinfo, tree, s)
    local r = requests[s.request]
    local sub = tree:add(orvex, "ORVEX " .. (r and r.name or string.format("request 0x%02X", s.request)))
    sub:add(f.request, s.request)
    sub:add(f.stage, "setup")
    local label = r and r.name or string.format("unknown request 0x%02X", s.request)
    if not r then
        rule(sub, pinfo, string.format("bRequest 0x%02X is not one of 0xB0..0xBB", s.request))
    else
        local expected_bm = r.dir == "in" and 0xC0 or 0x40
        if s.bm ~= expected_bm then
            rule(sub, pinfo, string.format("bmRequestType 0x%02X, expected 0x%02X", s.bm, expected_bm))
        end
        if s.length ~= r.len then
            rule(sub, pinfo, string.format("wLength %d, expected %d", s.length, r.len))
        end
        if r.value == "zero" and s.value ~= 0 then
            rule(sub, pinfo, string.format("wValue 0x%04X, expected 0", s.value))
        elseif r.value == "length" and s.value ~= s.length then
            rule(sub, pinfo, string.format("wValue 0x%04X differs from wLength 0x%04X", s.value, s.length))
        elseif r.value == "count" and s.value == 0 then
            rule(sub, pinfo, "announces 0 flash pages")
        end
    end
    if s.index ~= INDEX then
        rule(sub, pinfo, string.format("wIndex 0x%04X, expected 0xAA55", s.index))
    end

    if s.request == 0xB2 or s.request == 0xB3 then
        sub:add(f.eeprom_page, s.value)
        sub:add(f.eeprom_addr, s.value * 256)
        sub:add(f.eeprom_pages, math.floor((s.length + 255) / 256))
        label = label .. string.format(" page %d", s.value)
    elseif s.request == 0xB5 then
        sub:add(f.spi_pages, s.value)
        label = label .. string.format(" %d pages", s.value)
    elseif s.request == 0xB6 then
        local p = pages[pinfo.number]
        if p then
            sub:add(f.spi_page, p.index)
            if p.total then
                sub:add(f.spi_total, p.total)
                label = label .. string.format(" page %d of %d", p.index + 1, p.total)
                if p.index >= p.total then rule(sub, pinfo, "more flash pages than announced") end
            else
                label = label .. string.format(" page %d", p.index + 1)
                rule(sub, pinfo, "flash page without a UVCSet_FILESIZE announcement")
            end
        end
    elseif s.request == 0xB1 and s.out then
        if s.out:len() ~= 2 or s.out:get_index(0) ~= 0xAA or s.out:get_index(1) ~= 0x55 then
            rule(sub, pinfo, "UVCStart_UPDATE data is not AA 55")
        end
    end
    pinfo.cols.info:append(" " .. label)
end

-- The completion: what the reply says.
local function dissect_completion(pinfo, tree, s, reply, range, usbd)
    local r = requests[s.request]
    local sub = tree:add(orvex, "ORVEX " .. (r and r.name or string.format("request 0x%02X", s.request)) .. " reply")
    sub:add(f.request, s.request)
    sub:add(f.stage, "complete")
    local label = (r and r.name or string.format("0x%02X", s.request)) .. " reply"
    if usbd and usbd ~= 0 then
        sub:add(f.failed, true)
        pinfo.cols.info:append(" " .. label .. " (failed)")
        return
    end
    if range then sub:add(f.reply, range) end
    local n = reply and reply:len() or 0
    local function b(i) return reply:get_index(i) end

    if s.request == 0xB0 and n >= 12 then
        local fx3 = string.format("%d.%d.%d", b(0), b(1), b(2))
        local isp_raw = b(3) + b(4) * 0x100 + b(5) * 0x10000
        local isp = string.format("%02d.%02d.%02d", b(5), b(4), b(3))
        local ok = b(10) == 0xAA and b(11) == 0x55
        sub:add(f.fx3_version, fx3)
        sub:add(f.isp_version, isp)
        sub:add(f.isp_raw, isp_raw)
        sub:add(f.aud_version, b(6))
        sub:add(f.aud_full, b(6) + b(7) * 0x100 + b(8) * 0x10000)
        local item = sub:add(f.record_ok, ok)
        if not ok then item:add_proto_expert_info(e_reply, "version record without the AA 55 marker") end
        if isp_raw == 0xFFFFFF then sub:add(f.isp_reset, true) end
        label = label .. string.format(" FX3 %s ISP %s AUD 0x%02X%s", fx3, isp, b(6), ok and "" or " (no marker)")
    elseif s.request == 0xB3 then
        sub:add(f.eeprom_page, s.value)
        sub:add(f.eeprom_addr, s.value * 256)
        sub:add(f.eeprom_pages, math.floor((n + 255) / 256))
        label = label .. string.format(" page %d, %d bytes", s.value, n)
    elseif s.request == 0xB8 and n >= 1 then
        sub:add(f.status, b(0))
        local item = sub:add(f.ready, b(0) == 0xA1)
        if b(0) ~= 0xA1 then item:add_proto_expert_info(e_reply, "camera not ready for a flash download") end
        label = label .. (b(0) == 0xA1 and " ready" or string.format(" not ready (0x%02X)", b(0)))
    elseif s.request == 0xB7 and n >= 1 then
        sub:add(f.fw_status, b(0))
        label = label .. string.format(" status %d", b(0))
    elseif s.request == 0xBA and n >= 2 then
        local alive = b(0) == 0xAA and b(1) == 0x55
        sub:add(f.alive, alive)
        label = label .. (alive and " alive" or " not alive")
    elseif s.request == 0xB5 and n >= 1 then
        sub:add(f.spi_pages, s.value)
        label = label .. string.format(" 0x%02X", b(0))
    elseif n > 0 and n <= 4 then
        label = label .. " " .. tostring(reply)
    end
    pinfo.cols.info:append(" " .. label)
end

function orvex.dissector(tvb, pinfo, tree)
    local stage = val(x_stage)
    if stage == nil then return end
    if stage == 0 and val(x_irp_dir) == 0 then
        local bm, request = val(x_bm), val(x_request)
        if bm == nil or request == nil then return end
        local s = { bm = bm, request = request, value = val(x_value), index = val(x_index),
                    length = val(x_length), out = bytes_of(x_out) }
        if s.value == nil or s.index == nil or s.length == nil then return end
        -- Vendor requests to the device that belong to the command set: its
        -- request codes, or its wIndex with another code.
        if bit.band(bm, 0x7F) ~= 0x40 then return end
        if not requests[request] and s.index ~= INDEX then return end
        if not pinfo.visited then
            setups[pinfo.number] = s
            if request == 0xB5 then
                announced, sent = s.value, 0
            elseif request == 0xB6 then
                pages[pinfo.number] = { index = sent, total = announced }
                sent = sent + 1
            end
        end
        dissect_setup(pinfo, tree, s)
    elseif stage == 3 then
        local from = val(x_req_in)
        local s = from and setups[from]
        if not s then return end
        local reply, range = bytes_of(x_in)
        dissect_completion(pinfo, tree, s, reply, range, val(x_usbd))
    end
end

register_postdissector(orvex)
