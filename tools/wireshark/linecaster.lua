-- Wireshark dissector for the LineCaster messages: announcements and
-- administration (UDP 4002), device commands and status reports (UDP 4001), and
-- the "TMA1" audio frames, recognised on any UDP port.
--
-- Install: copy this file into Wireshark's personal Lua plugin folder
-- (`tshark -G folders` names it), or load it for one run with
-- `tshark -X lua_script:linecaster.lua`. docs/protocol.md describes every field.
--
-- Byte orders: the numbers of the announcement, the administration messages,
-- the configuration and the status are little-endian; the sub-command of a
-- device command is big-endian, that of a status little-endian; the audio
-- header is big-endian. Addresses travel as little-endian 32-bit numbers whose
-- most significant byte is the first octet (192.168.1.10 is 0A 01 A8 C0), so
-- an IPv4 field added little-endian reads the way the device means it.

local lc = Proto("linecaster", "LineCaster")

local MAGIC = 103
local CODE = {
    [34] = "Announcement",
    [40] = "Attribute-list announcement",
    [64] = "Message code 64",
    [80] = "Device command or status",
    [144] = "SetIP",
    [145] = "SetSerial",
}
local SUB = { [1] = "Start play", [2] = "Stop play", [3] = "Keep play", [4] = "Configure", [5] = "Status" }

-- Display names of the fields, for the truncation notes.
local label = {}
local function named(maker, abbr, name, ...)
    local pf = maker("linecaster." .. abbr, name, ...)
    label[pf] = name
    return pf
end
local function u8(abbr, name, vs) return named(ProtoField.uint8, abbr, name, base.DEC, vs) end
local function u16(abbr, name, vs) return named(ProtoField.uint16, abbr, name, base.DEC, vs) end
local function u32(abbr, name) return named(ProtoField.uint32, abbr, name, base.DEC) end
local function ip(abbr, name) return named(ProtoField.ipv4, abbr, name) end
local function text(abbr, name) return named(ProtoField.string, abbr, name) end
local function bytes(abbr, name) return named(ProtoField.bytes, abbr, name) end
local function flag(abbr, name, mask) return named(ProtoField.bool, abbr, name, 8, nil, mask) end

local f = {
    magic = u8("magic", "Magic"),
    command = u8("command", "Message code", CODE),
    serial = u32("serial", "Serial number"),
    -- announcement
    device_type = u8("device_type", "Device type", { [29] = "LineCaster" }),
    master_ip = ip("master_ip", "Master address"),
    software_version = u16("software_version", "Software version"),
    device_status = u8("device_status", "Device status"),
    uptime = u32("uptime", "Uptime (s)"),
    restarts_watchdog = u16("restarts.watchdog", "Watchdog restarts"),
    restarts_brownout = u16("restarts.brownout", "Brown-out restarts"),
    restarts_normal = u16("restarts.normal", "Normal restarts"),
    restarts_other = u16("restarts.other", "Other restarts"),
    gateway_ip = ip("gateway_ip", "Gateway"),
    nameserver_ip = ip("nameserver_ip", "Name server"),
    features = u32("features", "Features"),
    other_info = text("other_info", "Other information"),
    -- SetSerial
    new_serial = u32("new_serial", "New serial number"),
    hw_info = text("hw_info", "Hardware information"),
    date = text("date", "Date"),
    comment = text("comment", "Comment"),
    -- SetIP
    setip_flags = u8("setip.flags", "Valid addresses"),
    setip_flag_server = flag("setip.flags.server", "Server address", 0x01),
    setip_flag_gateway = flag("setip.flags.gateway", "Gateway", 0x02),
    setip_flag_nameserver = flag("setip.flags.nameserver", "Name server", 0x04),
    setip_flag_netmask = flag("setip.flags.netmask", "Netmask", 0x08),
    setip_server = ip("setip.server", "Server address"),
    setip_gateway = ip("setip.gateway", "Gateway"),
    setip_nameserver = ip("setip.nameserver", "Name server"),
    setip_netmask = ip("setip.netmask", "Netmask"),
    -- device command and status header
    subcommand = u16("subcommand", "Sub-command", SUB),
    command_size = u16("command_size", "Command size"),
    -- configuration record
    cfg_master_serial = u32("config.master_serial", "Master serial number"),
    cfg_master_ip = ip("config.master_ip", "Master address (as the controller stated it)"),
    cfg_auto_sense_enabled = u8("config.auto_sense_enabled", "Auto sense enabled"),
    cfg_auto_sense_level = u8("config.auto_sense_level", "Auto sense level (%)"),
    cfg_on_wait = u32("config.on_wait", "On wait (ms)"),
    cfg_off_wait = u32("config.off_wait", "Off wait (ms)"),
    cfg_play_timeout = u32("config.play_timeout", "Play time-out (ms)"),
    cfg_play_target_ip = ip("config.play_target_ip", "Play target address"),
    cfg_play_target_port = u16("config.play_target_port", "Play target port"),
    cfg_play_target_player_port = u16("config.play_target_player_port", "Play target player port"),
    cfg_play_target_zone = text("config.play_target_zone", "Play target zone"),
    cfg_multi_master = u8("config.multi_master", "Multi-master mode"),
    cfg_reserved = bytes("config.reserved", "Reserved"),
    -- status
    st_firmware = u16("status.firmware_version", "Firmware version"),
    st_input_on = u8("status.input_on", "Input", { [0] = "off", [1] = "on" }),
    st_level = u8("status.level", "Input level (%)"),
    st_alerts = u8("status.alerts", "Alerts"),
    st_alert_modes = flag("status.alerts.mode_conflict", "Recent masters disagree about multi-master mode", 0x01),
    st_recent_masters = u8("status.recent_masters", "Recent masters"),
    st_reserved = bytes("status.reserved", "Reserved"),
    st_master_serial = u32("status.master_serial", "Recent master serial number"),
    -- audio frame
    au_magic = text("audio.magic", "Magic"),
    au_version = u16("audio.version", "Protocol version"),
    au_command = u8("audio.command", "Command"),
    au_flags = u8("audio.flags", "Flags"),
    au_channel = u16("audio.channel", "Channel"),
    au_sequence = u32("audio.sequence", "Sequence number"),
    au_time_high = u32("audio.time_high", "Time, high word"),
    au_time_low = u32("audio.time_low", "Time, low word (ms tick)"),
    au_time2_high = u32("audio.time2_high", "Second time, high word"),
    au_time2_low = u32("audio.time2_low", "Second time, low word"),
    au_reply_port = u16("audio.reply_port", "Reply port"),
    au_data_size = u16("audio.data_size", "Payload size"),
    au_rate = u8("audio.rate_code", "Sample rate code", { [5] = "48 kHz" }),
    au_channels = u8("audio.channels", "Channels"),
    au_bits = u8("audio.bits_per_sample", "Bits per sample"),
    au_padding = bytes("audio.padding", "Padding"),
    au_data_offset = u8("audio.data_offset", "Data offset"),
    au_payload = bytes("audio.payload", "PCM payload"),
    au_expected = u32("audio.expected_sequence", "Expected sequence number"),
    -- anything else
    data = bytes("data", "Data"),
    partial = bytes("partial", "Incomplete field"),
    trailing = bytes("trailing", "Bytes after the message"),
}
local fields = {}
for _, pf in pairs(f) do fields[#fields + 1] = pf end
lc.fields = fields

local ex = {
    truncated = ProtoExpert.new("linecaster.truncated", "Truncated message",
        expert.group.MALFORMED, expert.severity.WARN),
    gap = ProtoExpert.new("linecaster.audio.gap", "Sequence gap: lost or reordered frames",
        expert.group.SEQUENCE, expert.severity.WARN),
    subcommand = ProtoExpert.new("linecaster.unknown_subcommand", "Unknown sub-command",
        expert.group.PROTOCOL, expert.severity.WARN),
    trailing = ProtoExpert.new("linecaster.trailing_bytes", "Bytes after the message",
        expert.group.PROTOCOL, expert.severity.NOTE),
    header = ProtoExpert.new("linecaster.audio.unexpected", "Audio header value differs from the stream's",
        expert.group.PROTOCOL, expert.severity.NOTE),
}
lc.experts = { ex.truncated, ex.gap, ex.subcommand, ex.trailing, ex.header }

-- Layouts: { field, offset, width, kind }. kind "le"/"be" for numbers, "text"
-- for NUL-ended text fields, "raw" for byte fields, nil for single bytes. An
-- entry with `record` opens a subtree holding that layout at its offset; one
-- with `bits` shows its flag fields below it.
local CONFIG = {
    label = "Configuration",
    { f.cfg_master_serial, 0, 4, "le" },
    { f.cfg_master_ip, 4, 4, "le" },
    { f.cfg_auto_sense_enabled, 8, 1 },
    { f.cfg_auto_sense_level, 9, 1 },
    { f.cfg_on_wait, 10, 4, "le" },
    { f.cfg_off_wait, 14, 4, "le" },
    { f.cfg_play_timeout, 18, 4, "le" },
    { f.cfg_play_target_ip, 22, 4, "le" },
    { f.cfg_play_target_port, 26, 2, "le" },
    { f.cfg_play_target_player_port, 28, 2, "le" },
    { f.cfg_play_target_zone, 30, 32, "text" },
    { f.cfg_multi_master, 62, 1 },
    { f.cfg_reserved, 63, 1, "raw" },
    { f.cfg_reserved, 64, 2, "raw" },
    { f.cfg_reserved, 66, 4, "raw" },
}

local ANNOUNCEMENT = {
    size = 43,
    { f.magic, 0, 1 },
    { f.command, 1, 1 },
    { f.device_type, 2, 1 },
    { f.serial, 3, 4, "le" },
    { f.master_ip, 7, 4, "le" },
    { f.software_version, 11, 2, "le" },
    { f.device_status, 13, 1 },
    { f.uptime, 14, 4, "le" },
    { f.restarts_watchdog, 18, 2, "le" },
    { f.restarts_brownout, 20, 2, "le" },
    { f.restarts_normal, 22, 2, "le" },
    { f.restarts_other, 24, 2, "le" },
    { f.gateway_ip, 26, 4, "le" },
    { f.nameserver_ip, 30, 4, "le" },
    { f.features, 34, 4, "le" },
    { f.other_info, 38, 5, "text" },
}

local SETSERIAL = {
    size = 286,
    { f.magic, 0, 1 },
    { f.command, 1, 1 },
    { f.serial, 2, 4, "le" },
    { f.new_serial, 6, 4, "le" },
    { f.hw_info, 10, 10, "text" },
    { f.date, 20, 10, "text" },
    { f.comment, 30, 256, "text" },
}

local SETIP = {
    size = 23,
    { f.magic, 0, 1 },
    { f.command, 1, 1 },
    { f.serial, 2, 4, "le" },
    { f.setip_flags, 6, 1, bits = { f.setip_flag_server, f.setip_flag_gateway, f.setip_flag_nameserver,
                                    f.setip_flag_netmask } },
    { f.setip_server, 7, 4, "le" },
    { f.setip_gateway, 11, 4, "le" },
    { f.setip_nameserver, 15, 4, "le" },
    { f.setip_netmask, 19, 4, "le" },
}

local OTHER = {
    size = 2,
    { f.magic, 0, 1 },
    { f.command, 1, 1 },
}

local COMMAND_HEADER = {
    { f.magic, 0, 1 },
    { f.command, 1, 1 },
    { f.serial, 2, 4, "le" },
    { f.subcommand, 6, 2, "be" },
    { f.command_size, 8, 2, "le" },
}
local unpack = table.unpack or unpack
local SHORT_COMMAND = { size = 10, unpack(COMMAND_HEADER) }
local LONG_COMMAND = { size = 80, unpack(COMMAND_HEADER) }
LONG_COMMAND[#LONG_COMMAND + 1] = { CONFIG, 10, 70, record = true }

local STATUS = {
    size = 129,
    { f.magic, 0, 1 },
    { f.command, 1, 1 },
    { f.serial, 2, 4, "le" },
    { f.subcommand, 6, 2, "le" },
    { f.command_size, 8, 2, "le" },
    { f.st_firmware, 10, 2, "le" },
    { f.st_input_on, 12, 1 },
    { f.st_level, 13, 1 },
    { f.st_alerts, 14, 1, bits = { f.st_alert_modes } },
    { CONFIG, 15, 70, record = true },
    { f.st_recent_masters, 85, 1 },
    { f.st_reserved, 86, 1, "raw" },
    { f.st_reserved, 87, 2, "raw" },
}
for i = 0, 9 do STATUS[#STATUS + 1] = { f.st_master_serial, 89 + 4 * i, 4, "le" } end

local AUDIO = {
    size = 1000,
    { f.au_magic, 0, 4, "text" },
    { f.au_version, 4, 2, "be" },
    { f.au_command, 6, 1 },
    { f.au_flags, 7, 1 },
    { f.au_channel, 8, 2, "be" },
    { f.au_sequence, 10, 4, "be" },
    { f.au_time_high, 14, 4, "be" },
    { f.au_time_low, 18, 4, "be" },
    { f.au_time2_high, 22, 4, "be" },
    { f.au_time2_low, 26, 4, "be" },
    { f.au_reply_port, 30, 2, "be" },
    { f.au_data_size, 32, 2, "be" },
    { f.au_rate, 34, 1 },
    { f.au_channels, 35, 1 },
    { f.au_bits, 36, 1 },
    { f.au_padding, 37, 2, "raw" },
    { f.au_data_offset, 39, 1 },
    { f.au_payload, 40, 960, "raw" },
}

-- Printable text of a fixed-width field: up to its first NUL, other bytes
-- outside printable ASCII escaped.
local function text_of(range)
    local raw = range:raw()
    local nul = raw:find("\0", 1, true)
    if nul then raw = raw:sub(1, nul - 1) end
    return (raw:gsub("[^\32-\126]", function(c) return string.format("\\x%02x", c:byte()) end))
end

local function add_one(tree, entry, range)
    local pf, kind = entry[1], entry[4]
    local item
    if kind == "le" then
        item = tree:add_le(pf, range)
    elseif kind == "text" then
        item = tree:add(pf, range, text_of(range))
    else
        item = tree:add(pf, range)
    end
    if entry.bits then
        for _, bit in ipairs(entry.bits) do item:add(bit, range) end
    end
end

-- Adds the fields of a layout that the datagram holds, from base on. Returns
-- nil when all of them are there, else the name of the field where it ends and
-- whether the datagram ends inside it (true) or before it (false). Text and
-- byte fields that are cut are shown with what arrived.
local function add_layout(tree, tvb, base, layout)
    local len = tvb:len()
    for _, entry in ipairs(layout) do
        local off, width = base + entry[2], entry[3]
        if entry.record then
            local present = math.min(width, len - off)
            if present <= 0 then return entry[1].label, false end
            local sub = tree:add(tvb(off, present), entry[1].label)
            local where, inside = add_layout(sub, tvb, off, entry[1])
            if where then return where, inside end
        elseif off + width > len then
            if off >= len then return label[entry[1]], false end
            local range = tvb(off, len - off)
            if entry[4] == "text" or entry[4] == "raw" then
                add_one(tree, entry, range)
            else
                tree:add(f.partial, range):append_text(string.format(" (%d of the %d bytes of %s)", len - off, width,
                    label[entry[1]]))
            end
            return label[entry[1]], true
        else
            add_one(tree, entry, tvb(off, width))
        end
    end
    return nil
end

-- Shows a layout on the message's tree, with a note when the datagram is
-- shorter or longer than the layout. extra goes after a truncation note.
local function show(top, tvb, layout, extra)
    local len = tvb:len()
    local where, inside = add_layout(top, tvb, 0, layout)
    if where then
        top:add_proto_expert_info(ex.truncated, string.format("Truncated: %d of %d bytes, ends %s %s%s",
            len, layout.size, inside and "inside" or "before", where, extra or ""))
    elseif len > layout.size then
        top:add(f.trailing, tvb(layout.size)):add_proto_expert_info(ex.trailing,
            string.format("%d bytes after the %d-byte message", len - layout.size, layout.size))
    end
end

-- Values for the Info column; nil where the datagram ends before the field.
local function le32(tvb, off) if tvb:len() >= off + 4 then return tvb(off, 4):le_uint() end end
local function be32(tvb, off) if tvb:len() >= off + 4 then return tvb(off, 4):uint() end end
local function byte(tvb, off) if tvb:len() > off then return tvb(off, 1):uint() end end
local function ipv4(tvb, off)
    local v = le32(tvb, off)
    if not v then return nil end
    local function octet(shift) return math.floor(v / 2 ^ shift) % 256 end
    return string.format("%d.%d.%d.%d", octet(24), octet(16), octet(8), octet(0))
end
local function show_value(v) return v == nil and "?" or tostring(v) end

local function announcement(tvb, top)
    show(top, tvb, ANNOUNCEMENT)
    local master = ipv4(tvb, 7)
    return string.format("Announcement serial %s, master %s", show_value(le32(tvb, 3)),
        master == "0.0.0.0" and "none" or show_value(master))
end

local function set_serial(tvb, top)
    show(top, tvb, SETSERIAL, tvb:len() >= 30 and " (taken by the device from 30 bytes on)" or "")
    return string.format("SetSerial %s -> %s", show_value(le32(tvb, 2)), show_value(le32(tvb, 6)))
end

local function set_ip(tvb, top)
    show(top, tvb, SETIP)
    local flags, given = byte(tvb, 6), {}
    for i, name in ipairs({ "server", "gateway", "name server", "netmask" }) do
        if flags and math.floor(flags / 2 ^ (i - 1)) % 2 == 1 then
            given[#given + 1] = name .. " " .. show_value(ipv4(tvb, 3 + 4 * i))
        end
    end
    return string.format("SetIP serial %s: %s", show_value(le32(tvb, 2)),
        #given > 0 and table.concat(given, ", ") or (flags and "no address" or "?"))
end

local function other(tvb, top, code)
    show(top, tvb, OTHER)
    if tvb:len() > 2 then top:add(f.data, tvb(2)) end
    return CODE[code]
end

local function status(tvb, top)
    show(top, tvb, STATUS)
    local on, level = byte(tvb, 12), byte(tvb, 13)
    local state = on == nil and "?" or (on ~= 0 and "ON" or "OFF")
    return string.format("Status serial %s: input %s, level %s%%, %s recent masters", show_value(le32(tvb, 2)),
        state, show_value(level), show_value(byte(tvb, 85)))
end

local function device_command(tvb, top)
    local sub = tvb:len() >= 8 and tvb(6, 2):uint() or nil
    local serial = show_value(le32(tvb, 2))
    if sub == 1 or sub == 4 then
        show(top, tvb, LONG_COMMAND)
    elseif sub == 2 or sub == 3 or sub == nil then
        show(top, tvb, SHORT_COMMAND)
    else
        add_layout(top, tvb, 0, COMMAND_HEADER)
        if tvb:len() > 10 then top:add(f.data, tvb(10)) end
        top:add_proto_expert_info(ex.subcommand, string.format(
            "Unknown sub-command %d (bytes %02X %02X); the device ignores the command", sub,
            tvb(6, 1):uint(), tvb(7, 1):uint()))
        return string.format("Device command serial %s, sub-command %d (unknown)", serial, sub)
    end
    if sub == 1 then
        local port = tvb:len() >= 38 and tvb(36, 2):le_uint() or nil
        return string.format("Start play serial %s to %s:%s", serial, show_value(ipv4(tvb, 32)), show_value(port))
    elseif sub == 4 then
        return string.format("Configure serial %s: master serial %s, multi-master %s", serial,
            show_value(le32(tvb, 10)), show_value(byte(tvb, 72)))
    end
    return string.format("%s serial %s", sub and SUB[sub] or "Device command", serial)
end

-- Sequence numbers per stream (source and destination address and port), taken
-- in the first pass; later passes read the result kept for each frame.
local last_sequence, expected_at = {}, {}
function lc.init()
    last_sequence, expected_at = {}, {}
end

local icmp_field = Field.new("icmp")

local function expected_sequence(pinfo, seq)
    if not pinfo.visited and not icmp_field() then
        local stream = tostring(pinfo.src) .. ":" .. pinfo.src_port .. ">" .. tostring(pinfo.dst) .. ":" ..
            pinfo.dst_port
        local previous = last_sequence[stream]
        last_sequence[stream] = seq
        if previous then
            local expected = (previous + 1) % 4294967296
            if seq ~= expected then expected_at[pinfo.number] = expected end
        end
    end
    return expected_at[pinfo.number]
end

local function audio(tvb, pinfo, top)
    show(top, tvb, AUDIO)
    local version, command = tvb:len() >= 6 and tvb(4, 2):uint(), byte(tvb, 6)
    if (version and version ~= 0x0103) or (command and command ~= 5) then
        top:add_proto_expert_info(ex.header, string.format("Version 0x%04X, command %d (frames of this system: " ..
            "0x0103, 5)", version or 0, command or 0))
    end
    local seq = be32(tvb, 10)
    if not seq then return "Audio frame" end
    local info = "Audio frame seq " .. seq
    local expected = expected_sequence(pinfo, seq)
    if expected then
        top:add(f.au_expected, expected):set_generated()
        top:add_proto_expert_info(ex.gap, string.format("Sequence %d where %d was due: %s", seq, expected,
            seq > expected and (seq - expected) .. " frame(s) lost or reordered" or "frame out of order"))
        info = info .. " (expected " .. expected .. ")"
    end
    return info
end

-- Which message the bytes hold, or nil when they are not of this family.
local function classify(tvb)
    local len = tvb:len()
    if len >= 4 and tvb(0, 4):raw() == "TMA1" then return "audio" end
    if len < 2 or tvb(0, 1):uint() ~= MAGIC then return nil end
    local code = tvb(1, 1):uint()
    if code == 80 then
        if len >= 7 and tvb(6, 1):uint() == 5 and (len < 8 or tvb(7, 1):uint() == 0) then return "status" end
        return "command"
    end
    if CODE[code] then return code end
    return nil
end

local function dissect(tvb, pinfo, tree, kind)
    pinfo.cols.protocol = "LineCaster"
    local top = tree:add(lc, tvb())
    local info
    if kind == "audio" then
        info = audio(tvb, pinfo, top)
    elseif kind == "status" then
        info = status(tvb, top)
    elseif kind == "command" then
        info = device_command(tvb, top)
    elseif kind == 34 then
        info = announcement(tvb, top)
    elseif kind == 145 then
        info = set_serial(tvb, top)
    elseif kind == 144 then
        info = set_ip(tvb, top)
    else
        info = other(tvb, top, kind)
    end
    top:append_text(": " .. info)
    pinfo.cols.info = info
    return tvb:len()
end

-- Ports 4001 and 4002, either end: the family, and frames sent from port 4001.
function lc.dissector(tvb, pinfo, tree)
    local kind = classify(tvb)
    if not kind then return 0 end
    return dissect(tvb, pinfo, tree, kind)
end

local udp_port = DissectorTable.get("udp.port")
udp_port:add(4001, lc)
udp_port:add(4002, lc)

-- Audio frames on any other port: players listen where they like.
lc:register_heuristic("udp", function(tvb, pinfo, tree)
    if tvb:len() < 4 or tvb(0, 4):raw() ~= "TMA1" then return false end
    dissect(tvb, pinfo, tree, "audio")
    return true
end)
