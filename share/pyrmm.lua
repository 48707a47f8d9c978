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
-- segment are each decoded. As pyr-netdump, it reads nothing more of a direction after an
-- invalid length field, and after bytes the capture lacks (or a SYN it lacks) starts again at
-- the first segment that starts with a header. Field names are those of `pyr-netdump --json`
-- under "pyrmm.":
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

-- As pyr-netdump reads a direction: after an invalid length field nothing more of it is a
-- message (the receiver closes the connection there); after bytes the capture lacks, or from
-- the start of a side whose SYN the capture lacks, reading starts again at the first segment
-- that starts with a header. Worked out on the first pass, frame by frame; later passes (the
-- GUI's clicks) follow what it decided.
local f_stream = Field.new("tcp.stream")
local f_seq = Field.new("tcp.seq_raw")
local f_len = Field.new("tcp.len")
local f_flags = Field.new("tcp.flags")
local f_completeness = Field.new("tcp.completeness")
local sides = {}  -- per direction of a TCP stream: next, broken, resync, midway
local plans = {}  -- per frame and direction: how it is read ("read", "broken", "gap" or
                  -- "midway") and the count of its captured bytes read before
local TCP_SYN, TCP_SYNACK = 1, 2  -- bits of tcp.completeness

local function side_key(pinfo)
    return tostring(f_stream() or "") .. " " .. tostring(pinfo.src) .. ":" .. pinfo.src_port
end

-- pyr-netdump's test of a message header: type 32 or 33 and a length that can be framed.
local function looks_like_header(tvb, offset)
    offset = offset or 0
    if tvb:len() - offset < HEADER then
        return false
    end
    local mtype = tvb(offset, 2):le_uint()
    local len = tvb(offset + 4, 2):le_uint()
    return (mtype == 32 or mtype == 33) and len >= HEADER and len <= MAX_LENGTH
end

-- Whether the bytes from `offset` on can begin a message: a header, or as much of one as the
-- segment holds.
local function starts_message(tvb, offset)
    local n = tvb:len() - offset
    if n <= 0 then
        return false
    end
    if n >= HEADER then
        return looks_like_header(tvb, offset)
    end
    local mtype = tvb(offset, 1):uint()
    return (mtype == 32 or mtype == 33) and (n < 2 or tvb(offset + 1, 1):uint() == 0)
end

-- Whether the capture holds this side's SYN: its first byte is then the start of a message.
local function syn_seen(pinfo)
    local seen = f_completeness()
    seen = seen and seen.value or 0
    local syn, synack = bit32.band(seen, TCP_SYN) ~= 0, bit32.band(seen, TCP_SYNACK) ~= 0
    if pinfo.dst_port == pyrmm.prefs.port then
        return syn
    elseif pinfo.src_port == pyrmm.prefs.port then
        return synack
    end
    return syn or synack
end

-- Sequence numbers compare modulo 2^32.
local function after(a, b)
    local d = (a - b) % 4294967296
    return d ~= 0 and d < 2147483648
end

local function plan_segment(tvb, pinfo)
    local key = side_key(pinfo)
    local frame = pinfo.number .. " " .. key
    if pinfo.visited or plans[frame] ~= nil then
        local p = plans[frame] or { what = "read", have = 0 }
        return p.what, p.have
    end
    local seq, len = f_seq(), f_len()
    if seq == nil or len == nil then
        -- A pass without a tree (tshark -2 without a filter) has no TCP fields to go by: it
        -- reads as Wireshark's TCP hands the bytes over, and decides nothing for later passes.
        return "read", 0
    end
    seq, len = seq.value, len.value
    local d = sides[key]
    if d == nil then
        d = { next = seq }
        if bit32.band(f_flags().value, 0x02) == 0 and not syn_seen(pinfo) then
            d.resync, d.midway = true, true
        end
        sides[key] = d
    end
    if after(seq, d.next) then
        d.resync = true  -- bytes before this segment are not in the capture
        d.next = seq
    end
    local have = (d.next - seq) % 4294967296
    local plan = "read"
    if have >= len then
        plan = "read"  -- a retransmission: Wireshark's TCP says what it is
    elseif d.broken then
        plan = "broken"
    elseif d.resync and not starts_message(tvb, have) then
        plan = d.midway and "midway" or "gap"
    else
        d.resync, d.midway = false, false
    end
    if after(seq + len, d.next) then
        d.next = (seq + len) % 4294967296
    end
    if tvb:len() < tvb:reported_len() then
        d.resync = true  -- a snapshot length cut the segment's end off
    end
    have = math.min(have, tvb:len())
    plans[frame] = { what = plan, have = have }
    return plan, have
end

local function pdu_length(tvb, pinfo, offset)
    local len = tvb(offset + 4, 2):le_uint()
    -- A length that cannot be framed: the receiver shows its header and reads no further, so
    -- the rest is this one item, and the direction's later segments are not read either.
    if len < HEADER or len > MAX_LENGTH then
        if not pinfo.visited then
            local d = sides[side_key(pinfo)]
            if d then
                d.broken = true
            end
        end
        return tvb:reported_length_remaining(offset)
    end
    return len
end

local function show_not_read(tvb, pinfo, tree, text)
    pinfo.cols.protocol = "PYRMM"
    local item = tree:add(pyrmm, tvb())
    item:set_text(text)
    local info = tostring(pinfo.cols.info)
    if info:sub(1, 5) == "PYRMM" then
        pinfo.cols.info:append(", " .. text)
    else
        pinfo.cols.info:set("PYRMM " .. text)
    end
end

local function direction_of(pinfo, mtype, mid)
    -- The server's port tells the direction; on another port, the message does.
    if pinfo.dst_port == pyrmm.prefs.port then
        return "c2s"
    elseif pinfo.src_port == pyrmm.prefs.port then
        return "s2c"
    elseif (mtype == 32 and mid == 255) or (mtype == 33 and mid == 3) then
        return "c2s"
    end
    return "s2c"
end

local function dissect_pdu(tvb, pinfo, tree)
    local mtype = tvb(0, 2):le_uint()
    local mid = tvb(2, 2):le_uint()
    local len = tvb(4, 2):le_uint()
    local invalid = len < HEADER or len > MAX_LENGTH
    local t = tree:add(pyrmm, invalid and tvb(0, HEADER) or tvb())
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
        t:add(f.error, invalid and tvb(0, HEADER) or tvb(), err):set_generated()
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
    local direction = direction_of(pinfo, mtype, mid)
    local info = tostring(pinfo.cols.info)
    local text = direction .. " " .. name .. (detail and (" " .. detail) or "")
    if info:sub(1, 5) == "PYRMM" then
        pinfo.cols.info:append(", " .. text)
    else
        pinfo.cols.info:set("PYRMM " .. text)
    end
    if invalid and tvb:len() > HEADER then
        show_not_read(tvb(HEADER):tvb(), pinfo, tree, direction .. " " ..
            (tvb:len() - HEADER) ..
            " bytes after a message with an invalid length field, not read as messages")
    end
    return tvb:len()
end

local NOT_READ = {
    broken = " bytes after a message with an invalid length field",
    gap = " bytes after a gap that do not start a message",
    midway = " bytes of a conversation the capture joined midway that do not start a message",
}

function pyrmm.dissector(tvb, pinfo, tree)
    local plan, have = plan_segment(tvb, pinfo)
    if plan ~= "read" then
        -- What pyr-netdump counts: the captured bytes not seen before.
        local rest = have < tvb:len() and tvb(have):tvb() or tvb
        show_not_read(rest, pinfo, tree, direction_of(pinfo, -1, -1) .. " " ..
            (tvb:len() - have) .. NOT_READ[plan] .. ", not read as messages")
        return tvb:len()
    end
    if tvb:len() < tvb:reported_len() then
        -- A snapshot length cut the segment: Wireshark's TCP reassembles none of it, and
        -- pyr-netdump reads its whole messages, the cut one being lost with the gap after it.
        local offset = 0
        while tvb:len() - offset >= HEADER do
            local n = pdu_length(tvb, pinfo, offset)
            if n == tvb:reported_length_remaining(offset) and
                    tvb(offset + 4, 2):le_uint() ~= n then
                dissect_pdu(tvb(offset):tvb(), pinfo, tree)  -- an invalid length: the last
                break
            end
            if offset + n > tvb:len() then
                break
            end
            dissect_pdu(tvb(offset, n):tvb(), pinfo, tree)
            offset = offset + n
        end
        return tvb:len()
    end
    dissect_tcp_pdus(tvb, tree, HEADER, pdu_length, dissect_pdu, true)
    return tvb:len()
end

local function heuristic(tvb, pinfo, tree)
    if tvb:len() < HEADER and starts_message(tvb, 0) then
        -- Too short to tell (a header split over segments): Wireshark's TCP adds this
        -- direction's next segment to it, and the decision waits for a whole header.
        pinfo.desegment_offset = 0
        pinfo.desegment_len = DESEGMENT_ONE_MORE_SEGMENT
        return true
    end
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
