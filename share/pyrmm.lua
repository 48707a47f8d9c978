-- pyrmm.lua: Wireshark dissector for the minimap protocol of Pyr_MiniMap (message types 32 and
-- 33 over TCP), as docs/wire-format.md describes it byte for byte.
--
-- Install: copy this file into Wireshark's personal Lua plug-ins folder
-- (~/.local/lib/wireshark/plugins/), or load it for one run with
-- `tshark -X lua_script:pyrmm.lua -r capture.pcapng`.
--
-- It decodes TCP port 7450 (the server port in the captures minimap-client and minimap-server
-- write; the "pyrmm.port" preference changes it), and, through a heuristic, conversations on
-- other ports whose first bytes read as a message header of type 32 or 33 (Decode As works
-- too). Messages split over several TCP segments are reassembled, several messages in one
-- segment are each decoded. Field names are those of `pyr-netdump --json` under "pyrmm.":
-- pyrmm.type, pyrmm.id, pyrmm.length, pyrmm.msg, pyrmm.op, pyrmm.selector, pyrmm.store,
-- pyrmm.player.{id,x,y}, pyrmm.npc.{id,name,x,y,kind,quest,reserved}, pyrmm.remove.id,
-- pyrmm.query.arg, pyrmm.hello.version, pyrmm.tick.serial, pyrmm.chunk.{id,size},
-- pyrmm.error. A name is shown as pyr-netdump's text shows it (bytes that are not UTF-8 as
-- \xNN). A message the receiver's parser refuses is flagged with the expert info
-- pyrmm.malformed, a chunk of the wrong size with pyrmm.unreadable; pyrmm.error holds the
-- same text as pyr-netdump's "error".

local pyrmm = Proto("pyrmm", "Pyr MiniMap protocol")

local HEADER = 6
local MAX_LENGTH = 64512
local MAX_CHUNKS = 256

-- Every field, in the order Wireshark lists them: its key in `f`, its ProtoField kind and its
-- label. The filter name is "pyrmm." and the key with "." for "_"; integers show in decimal.
local FIELDS = {
    { "type", "uint16", "Message type" },
    { "id", "uint16", "Message id" },
    { "length", "uint16", "Length" },
    { "msg", "string", "Message" },
    { "op", "int32", "Operation" },
    { "selector", "uint8", "Selector" },
    { "store", "string", "Store" },
    { "player_id", "uint64", "Player id" },
    { "player_x", "float", "Player x" },
    { "player_y", "float", "Player y" },
    { "npc_id", "uint64", "NPC id" },
    { "npc_name", "string", "NPC name" },
    { "npc_x", "float", "NPC x" },
    { "npc_y", "float", "NPC y" },
    { "npc_kind", "int32", "NPC kind" },
    { "npc_quest", "int32", "NPC quest" },
    { "npc_reserved", "uint32", "NPC reserved" },
    { "remove_id", "uint64", "Removed id" },
    { "query_arg", "int32", "Query argument" },
    { "hello_version", "int32", "Extension version" },
    { "tick_serial", "int32", "Tick serial" },
    { "chunk", "none", "Chunk" },
    { "chunk_id", "uint16", "Chunk id" },
    { "chunk_size", "uint16", "Chunk size" },
    { "error", "string", "Error" },
}
local f, fields = {}, {}
for _, field in ipairs(FIELDS) do
    local key, kind, label = field[1], field[2], field[3]
    local name = "pyrmm." .. key:gsub("_", ".")
    if kind == "string" or kind == "float" or kind == "none" then
        f[key] = ProtoField[kind](name, label)
    else
        f[key] = ProtoField[kind](name, label, base.DEC)
    end
    fields[#fields + 1] = f[key]
end
pyrmm.fields = fields

local e_malformed = ProtoExpert.new("pyrmm.malformed", "Malformed message",
                                    expert.group.MALFORMED, expert.severity.ERROR)
local e_unreadable = ProtoExpert.new("pyrmm.unreadable", "Unreadable chunk",
                                     expert.group.PROTOCOL, expert.severity.WARN)
pyrmm.experts = { e_malformed, e_unreadable }

pyrmm.prefs.port = Pref.uint("Server TCP port", 7450, "The game server's TCP port")

local SYNC_OPS = { [0] = "Set", [1] = "Remove", [2] = "Clear", [3] = "QueryResult", [4] = "QueryEnd" }

-- The receiver's parser, check for check: nil when the message is well-formed, else its text.
local function parse(tvb, len, chunks)
    if len < HEADER then
        return "length field below the 6-byte header: length " .. len
    end
    if len > MAX_LENGTH then
        return "length field above the limit of 64512 bytes: length " .. len
    end
    local offset, index = HEADER, 0
    while offset < len do
        local at = "chunk " .. index .. " at offset " .. offset .. ": "
        if index == MAX_CHUNKS then
            return at .. "more than 256 chunks"
        end
        local left = len - offset
        if left < 4 then
            return at .. "chunk header cut short: " .. left .. " of its 4 bytes left"
        end
        local size = tvb(offset + 2, 2):le_uint()
        if size < 4 then
            return at .. "chunkSize " .. size .. " is below the 4-byte chunk header"
        end
        if size > left then
            return at .. "chunkSize " .. size .. " runs past the message end (" .. left ..
                       " bytes left)"
        end
        chunks[#chunks + 1] = { offset = offset, size = size }
        offset = offset + size
        index = index + 1
    end
    return nil
end

-- Decodes chunk by chunk; a missing or wrongly sized chunk stops it with a text.
local Reader = {}
Reader.__index = Reader

local function reader(tvb, tree, chunks)
    return setmetatable({ tvb = tvb, tree = tree, chunks = chunks }, Reader)
end

-- The data range of chunk i (0-based) when it holds exactly `size` bytes.
function Reader:data(i, size, what)
    local c = self.chunks[i + 1]
    if c == nil then
        self.problem = "chunk " .. i .. " (" .. what .. ") is missing"
        return nil
    end
    if c.size - 4 ~= size then
        self.problem = "chunk " .. i .. " (" .. what .. ") holds " .. (c.size - 4) ..
                           " bytes, not " .. size
        return nil
    end
    return self.tvb(c.offset + 4, size)
end

function Reader:int(field, i, what)
    local r = self:data(i, 4, what)
    if r then
        self.tree:add_le(field, r)
        return r:le_int()
    end
    return nil
end

-- Length of the valid UTF-8 sequence at s[i], or 0.
local function utf8_length(s, i)
    local lead = s:byte(i)
    local length, cp, min
    if lead >= 0xC2 and lead <= 0xDF then
        length, cp, min = 2, lead - 0xC0, 0x80
    elseif lead >= 0xE0 and lead <= 0xEF then
        length, cp, min = 3, lead - 0xE0, 0x800
    elseif lead >= 0xF0 and lead <= 0xF4 then
        length, cp, min = 4, lead - 0xF0, 0x10000
    else
        return 0
    end
    if i + length - 1 > #s then
        return 0
    end
    for k = 1, length - 1 do
        local b = s:byte(i + k)
        if b < 0x80 or b > 0xBF then
            return 0
        end
        cp = cp * 64 + (b - 0x80)
    end
    if cp < min or cp > 0x10FFFF or (cp >= 0xD800 and cp <= 0xDFFF) then
        return 0
    end
    return length
end

-- A name's bytes as pyr-netdump prints them: valid UTF-8 kept; quote, backslash, control
-- characters and bytes that are not UTF-8 as \", \\, \xNN.
local function escape_name(s)
    local out, i = {}, 1
    while i <= #s do
        local c = s:byte(i)
        if c == 0x22 or c == 0x5C then
            out[#out + 1] = "\\" .. string.char(c)
            i = i + 1
        elseif c >= 0x20 and c < 0x7F then
            out[#out + 1] = string.char(c)
            i = i + 1
        else
            local n = c >= 0x80 and utf8_length(s, i) or 0
            if n > 0 then
                out[#out + 1] = s:sub(i, i + n - 1)
                i = i + n
            else
                out[#out + 1] = string.format("\\x%02x", c)
                i = i + 1
            end
        end
    end
    return table.concat(out)
end

local function add_npc(tree, r)
    local name_length = 0
    while name_length < 52 and r(8 + name_length, 1):uint() ~= 0 do
        name_length = name_length + 1
    end
    tree:add_le(f.npc_id, r(0, 8))
    local name = name_length > 0 and r(8, name_length):raw() or ""
    tree:add(f.npc_name, r(8, math.max(name_length, 1)), escape_name(name))
    tree:add_le(f.npc_x, r(60, 4))
    tree:add_le(f.npc_y, r(64, 4))
    tree:add_le(f.npc_kind, r(68, 4))
    tree:add_le(f.npc_quest, r(72, 4))
    tree:add_le(f.npc_reserved, r(76, 4))
    return escape_name(name)
end

local function decode(rd, mtype, mid)
    local tree = rd.tree
    local header = rd.tvb(0, HEADER)
    if mtype == 32 and mid == 254 then
        local op = rd:int(f.op, 0, "operation")
        if op == nil then
            return "Sync"
        end
        local name = SYNC_OPS[op] or "Sync"
        if op == 0 or op == 1 then
            local s = rd:data(1, 1, "selector")
            if s == nil then
                return name
            end
            local player = s:uint() ~= 0
            tree:add(f.selector, s)
            tree:add(f.store, s, player and "player" or "npc"):set_generated()
            if op == 1 then
                local r = rd:data(2, 8, "id")
                if r then
                    tree:add_le(f.remove_id, r)
                end
            elseif player then
                local r = rd:data(2, 16, "player record")
                if r then
                    tree:add_le(f.player_id, r(0, 8))
                    tree:add_le(f.player_x, r(8, 4))
                    tree:add_le(f.player_y, r(12, 4))
                end
            else
                local r = rd:data(2, 80, "NPC record")
                if r then
                    return name, add_npc(tree, r)
                end
            end
        elseif op == 3 then
            local r = rd:data(1, 80, "NPC record")
            if r then
                return name, add_npc(tree, r)
            end
        end
        return name
    elseif mtype == 32 and mid == 255 then
        local op = rd:int(f.op, 0, "request")
        if op == 5 then
            return "Poll"
        elseif op == 3 then
            rd:int(f.query_arg, 1, "query argument")
            return "Query"
        end
        return "Request"
    elseif mtype == 33 and mid == 1 then
        rd:int(f.hello_version, 0, "extension version")
        return "Hello"
    elseif mtype == 33 and mid == 2 then
        return "RoleReset"
    elseif mtype == 33 and mid == 3 then
        rd:int(f.tick_serial, 0, "serial")
        return "Tick"
    end
    return "Other"
end

local function pdu_length(tvb, pinfo, offset)
    local len = tvb(offset + 4, 2):le_uint()
    -- A length that cannot be framed: its header alone is shown, as the receiver saw it.
    if len < HEADER or len > MAX_LENGTH then
        return HEADER
    end
    return len
end

local function dissect_pdu(tvb, pinfo, tree)
    local mtype = tvb(0, 2):le_uint()
    local mid = tvb(2, 2):le_uint()
    local len = tvb(4, 2):le_uint()
    local t = tree:add(pyrmm, tvb())
    t:add_le(f.type, tvb(0, 2))
    t:add_le(f.id, tvb(2, 2))
    t:add_le(f.length, tvb(4, 2))
    pinfo.cols.protocol = "PYRMM"
    local chunks = {}
    local err = parse(tvb, len, chunks)
    local name, detail
    if err then
        name = "Malformed"
        t:add(f.msg, tvb(0, HEADER), name):set_generated()
        t:add(f.error, tvb(), err):set_generated()
        t:add_proto_expert_info(e_malformed, err)
    else
        local rd = reader(tvb, t, chunks)
        name, detail = decode(rd, mtype, mid)
        t:add(f.msg, tvb(0, HEADER), name):set_generated()
        for i, c in ipairs(chunks) do
            local ct = t:add(f.chunk, tvb(c.offset, c.size))
            ct:set_text("Chunk " .. (i - 1) .. ": " .. c.size .. " bytes")
            ct:add_le(f.chunk_id, tvb(c.offset, 2))
            ct:add_le(f.chunk_size, tvb(c.offset + 2, 2))
        end
        if rd.problem then
            t:add(f.error, tvb(), rd.problem):set_generated()
            t:add_proto_expert_info(e_unreadable, rd.problem)
        end
    end
    t:append_text(": " .. name .. (detail and (" " .. detail) or ""))
    -- The server's port tells the direction; on another port, the message does.
    local direction
    if pinfo.dst_port == pyrmm.prefs.port then
        direction = "c2s"
    elseif pinfo.src_port == pyrmm.prefs.port then
        direction = "s2c"
    elseif (mtype == 32 and mid == 255) or (mtype == 33 and mid == 3) then
        direction = "c2s"
    else
        direction = "s2c"
    end
    local info = tostring(pinfo.cols.info)
    local text = direction .. " " .. name .. (detail and (" " .. detail) or "")
    if info:sub(1, 5) == "PYRMM" then
        pinfo.cols.info:append(", " .. text)
    else
        pinfo.cols.info:set("PYRMM " .. text)
    end
    return tvb:len()
end
function pyrmm.dissector(tvb, pinfo, tree)
    dissect_tcp_pdus(tvb, tree, HEADER, pdu_length, dissect_pdu, true)
    return tvb:len()
end

local function looks_like_header(tvb)
    if tvb:len() < HEADER then
        return false
    end
    local mtype = tvb(0, 2):le_uint()
    local len = tvb(4, 2):le_uint()
    return (mtype == 32 or mtype == 33) and len >= HEADER and len <= MAX_LENGTH
end

local function heuristic(tvb, pinfo, tree)
    if not looks_like_header(tvb) then
        return false
    end
    pinfo.conversation = pyrmm
    pyrmm.dissector(tvb, pinfo, tree)
    return true
end

local registered_port = pyrmm.prefs.port
DissectorTable.get("tcp.port"):add(registered_port, pyrmm)
pyrmm:register_heuristic("tcp", heuristic)

function pyrmm.prefs_changed()
    if registered_port ~= pyrmm.prefs.port then
        DissectorTable.get("tcp.port"):remove(registered_port, pyrmm)
        registered_port = pyrmm.prefs.port
        DissectorTable.get("tcp.port"):add(registered_port, pyrmm)
    end
end
