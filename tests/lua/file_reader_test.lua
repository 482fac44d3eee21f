-- The file reader's own rules, run by each Lua that Wireshark embeds (5.2 in
-- Wireshark 4.0 and 4.2, 5.4 from 4.4), with the few parts of Wireshark's
-- API it uses played here: its opening test on files of random bytes, text
-- and other capture formats, and each packet's bytes, time and comments on
-- records built here, times past 2^53 microseconds included.
--
--   lua5.x file_reader_test.lua READER.lua SAMPLE.bin

local reader_path, sample_path = arg[1], arg[2]

-- Wireshark's side, as far as the reader uses it, as strict as Wireshark 4.6:
-- an attribute that wants an integer refuses a float (under Lua 5.4, any
-- number whose subtype is float, 5.0 included, as lua_isinteger does; under
-- 5.2, which has no integer subtype, a number that is not whole), and the
-- 32-bit ones refuse what they would cut short; an attribute that is not
-- Wireshark's is an error; File:seek takes whole offsets and gives a float
-- back, and seek_read is given its offset as a float, as Wireshark's
-- lua_pushnumber gives them under 5.4.
local function is_integer(value)
    if math.type then
        return math.type(value) == "integer"
    end
    return type(value) == "number" and value == math.floor(value) and value > -2 ^ 63 and value < 2 ^ 63
end
local function as_float(value)
    return math.type and value + 0.0 or value
end
local checks = {
    integer = function(value) return is_integer(value) end,
    int32 = function(value) return is_integer(value) and value >= -2147483648 and value <= 2147483647 end,
    string = function(value) return type(value) == "string" end,
    -- A comment is a string, or a table of them (one comment each).
    comment = function(value)
        if type(value) == "table" then
            for _, each in ipairs(value) do
                if type(each) ~= "string" then return false end
            end
            return true
        end
        return type(value) == "string"
    end,
    nstime = function(value) return getmetatable(value) and getmetatable(value).class == "NSTime" end,
    any = function() return true end,
}
local wanted = { integer = "an integer", int32 = "an integer", string = "a string", comment = "a string or a table of strings",
                 nstime = "an NSTime", any = "" }

-- An object of Wireshark's whose attributes are `attributes` (name: kind).
local function strict_object(class, attributes, fields)
    fields = fields or {}
    return setmetatable({}, {
        class = class,
        __index = function(_, key)
            if attributes[key] == nil then error(class .. " has no attribute `" .. tostring(key) .. "'", 2) end
            return fields[key]
        end,
        __newindex = function(_, key, value)
            local kind = attributes[key]
            if kind == nil then error(class .. " has no attribute `" .. tostring(key) .. "'", 2) end
            if not checks[kind](value) then
                error(class .. "'s attribute `" .. key .. "' must be " .. wanted[kind] .. ", not " .. tostring(value), 2)
            end
            -- A time given is copied, as Wireshark copies it into the packet.
            fields[key] = kind == "nstime" and { secs = value.secs, nsecs = value.nsecs } or value
        end,
    })
end

local registered
FileHandler = { new = function(description, name, internal, kind) return { name = name, kind = kind } end }
function register_filehandler(handler) registered = handler end
wtap_encaps = { IEEE802_15_4 = 104 }
wtap_tsprecs = { USEC = 6 }
wtap_rec_types = { PACKET = 0 }
wtap_presence_flags = { TS = 1, CAP_LEN = 2 }
-- Its arguments as luaL_optinteger takes them: whole numbers only.
function NSTime(secs, nsecs)
    assert(is_integer(math.floor(secs)) and secs == math.floor(secs) and nsecs == math.floor(nsecs),
           "NSTime: number has no integer representation")
    local time = strict_object("NSTime", { secs = "int32", nsecs = "int32" }, { secs = math.floor(secs), nsecs = math.floor(nsecs) })
    return time
end

local function new_frame()
    return strict_object("FrameInfo", { time = "nstime", flags = "integer", rec_type = "integer", data = "string",
                                        comment = "comment", captured_length = "integer", original_length = "integer",
                                        encap = "integer" })
end
local function new_capture()
    return strict_object("CaptureInfo", { encap = "integer", time_precision = "integer", snapshot_length = "integer",
                                          private_table = "any" })
end

-- A file over a string, read as Wireshark's File object reads.
local function file_of(bytes)
    local position = 0
    return {
        seek = function(self, whence, offset)
            assert(offset == nil or offset == math.floor(offset), "File:seek: number has no integer representation")
            position = (whence == "set" and 0 or position) + math.floor(offset or 0)
            return as_float(position)
        end,
        read = function(self, size)
            assert(size == math.floor(size), "File:read: a count that is not whole reads nothing")
            if position >= #bytes then return nil end
            local piece = bytes:sub(position + 1, position + size)
            position = position + #piece
            return piece
        end,
    }
end

local failures = 0
local function check(condition, what)
    if not condition then
        failures = failures + 1
        print("FAIL: " .. what)
    end
end

-- Wireshark's calls of the reader's routines: an error in one, as Wireshark
-- would report it, fails the test and reads as nothing.
local function call(routine, ...)
    local done, result = pcall(registered[routine], ...)
    check(done, routine .. ": " .. tostring(result))
    return done and result
end
local function read_open(file, capture) return call("read_open", file, capture) end
local function read(file, capture, frame) return call("read", file, capture, frame) end
local function seek_read(file, capture, frame, offset) return call("seek_read", file, capture, frame, as_float(offset)) end

dofile(reader_path)
-- A reader, tried before every other one ("m", "s"): it must decline every
-- file that is not a record capture.
assert(registered and registered.kind == "rms", "the reader is registered as a reader tried first")

local function opens(bytes)
    return read_open(file_of(bytes), new_capture()) == true
end

-- Little-endian bytes of a whole number below 2^53, or of 2^64 - 1 spelled out.
local function le(value, width)
    local out = {}
    for i = 1, width do
        out[i] = string.char(value % 256)
        value = (value - value % 256) / 256
    end
    return table.concat(out)
end

-- A record of `payload` (the frame, then the FCS bytes "\x9a\xbc"), with the
-- FCS counted in the length; `time` as 8 bytes.
local function record(number, time, payload, flags)
    flags = flags or 1
    local body = payload .. "\154\188"
    local length = #payload + (flags % 2 == 1 and 2 or 0)
    return string.char(flags) .. le(number, 4) .. time .. string.char(length) .. body .. string.rep("\0", 137 - #body)
end
-- A record whose length has no sound reading: length 1 with the FCS flag.
local function unsound_record(number)
    local bytes = record(number, le(1765000000000000, 8), "x")
    return bytes:sub(1, 13) .. "\1" .. bytes:sub(15)
end

-- A generator of its own: the same bytes under every Lua.
local state = 12345
local function random_byte()
    state = (state * 1103515245 + 12345) % 2147483648
    return (state - state % 65536) / 65536 % 256
end
local function random_bytes(size)
    local bytes = {}
    for i = 1, size do bytes[i] = string.char(random_byte()) end
    return table.concat(bytes)
end

-- Files of random bytes: 200 of 8 to 40 records' worth, and 200 short ones
-- of 1 to 7 records, whose few records decide alone: none is taken.
for _, row in ipairs({ { 8, 33 }, { 1, 7 } }) do
    local taken = 0
    for n = 1, 200 do
        if opens(random_bytes((row[1] + n % row[2]) * 151)) then taken = taken + 1 end
    end
    check(taken == 0, taken .. " of 200 files of random bytes, " .. row[1] .. " records' worth or more, taken for record captures")
end

-- Text, and captures of the other formats (their headers, then what
-- follows): none is taken. A record capture whose first record begins with
-- such a magic number by chance is one all the same.
local text = string.rep("A capture of 151-byte records, read as the converter reads it.\n", 40)
check(not opens(text), "text taken for a record capture")
local good = ""
for n = 1, 8 do good = good .. record(n, le(1765000000000000 + n, 8), "frame" .. n) end
check(opens(good), "eight good records not taken")
check(opens(good:sub(1, 151)), "a single good record not taken")
check(not opens(good:sub(1, 150)), "less than a record taken")
local function be(value, width) return le(value, width):reverse() end
for _, header in ipairs({
    "\212\195\178\161" .. le(2, 2) .. le(4, 2) .. le(0, 8) .. le(262144, 4) .. le(195, 4),
    "\161\178\195\212" .. be(2, 2) .. be(4, 2) .. be(0, 8) .. be(65535, 4) .. be(1, 4),
    "\77\60\178\161" .. le(2, 2) .. le(4, 2) .. le(0, 8) .. le(128, 4) .. le(195, 4),
    "\161\178\60\77" .. be(2, 2) .. be(4, 2) .. be(0, 8) .. be(0, 4) .. be(195, 4),
    "\10\13\13\10" .. le(28, 4) .. le(439041101, 4) .. le(1, 2) .. le(0, 2) .. le(2 ^ 53, 8),
    "\10\13\13\10" .. be(28, 4) .. be(439041101, 4) .. be(1, 2) .. be(0, 2) .. be(2 ^ 53, 8),
}) do
    -- Followed by records, which a capture of those formats never holds:
    -- the header alone decides.
    check(not opens(header .. good:sub(#header + 1)), "a capture of another format taken: " .. header:byte(1))
end
for _, magic in ipairs({ "\212\195\178\161", "\161\178\195\212", "\77\60\178\161", "\161\178\60\77", "\10\13\13\10" }) do
    check(opens(magic .. good:sub(5)), "a record capture beginning with another format's magic number not taken")
end
-- As a sniffer wrote it: the first record's flags 0xD4 and number 10,597,059
-- are PCAP's magic, D4 C3 B2 A1.
check(opens(record(10597059, le(1765000000002864, 8), "frame", 212) .. good:sub(152)),
      "a record capture beginning with PCAP's magic number by chance not taken")
-- Records whose lengths have no sound reading are no capture; a capture
-- whose first record is skipped still is.
local unsound = ""
for n = 1, 8 do unsound = unsound .. record(n, le(1765000000000000 + n, 8), "frame"):sub(1, 13) .. "\200" .. string.rep("\0", 137) end
check(not opens(unsound), "records whose lengths have no sound reading taken for a record capture")
check(opens(unsound:sub(1, 151) .. good:sub(152)), "a capture whose first record is skipped not taken")
-- Times a clock gives are below 2^53 microseconds: records at or past it,
-- by their seventh byte or by their eighth alone, are no capture.
for _, time in ipairs({ le(2 ^ 53 - 1, 8), le(2 ^ 53, 8), le(0, 7) .. "\1", le(2 ^ 40, 7) .. "\1", le(0, 7) .. "\255" }) do
    local records = ""
    for n = 1, 8 do records = records .. record(n, time, "frame") end
    check(opens(records) == (time == le(2 ^ 53 - 1, 8)), "records at the time " .. time:byte(7) .. ", " .. time:byte(8) ..
          (time == le(2 ^ 53 - 1, 8) and " not taken" or " taken"))
end
local sample = io.open(sample_path, "rb"):read("*a")
check(opens(sample), "the bundled sample not taken")

local function comment_of(frame)
    return type(frame.comment) == "table" and table.concat(frame.comment, "|") or frame.comment
end
-- Every packet of `capture`, read in turn, each with its offset; and each
-- read again where it lies, as Wireshark does for a packet it shows, must
-- be the same packet.
local function packets_of(capture)
    local info, file = new_capture(), file_of(capture)
    local packets = {}
    if not read_open(file, info) then return packets end
    while true do
        local frame = new_frame()
        local offset = read(file, info, frame)
        if not offset then break end
        check(type(offset) == "number", "read gives the packet's offset")
        packets[#packets + 1] = { frame = frame, offset = offset }
    end
    for _, packet in ipairs(packets) do
        local again, frame = new_frame(), packet.frame
        check(seek_read(file, info, again, packet.offset), "seek_read at " .. tostring(packet.offset))
        check(again.data == frame.data and comment_of(again) == comment_of(frame) and again.time.secs == frame.time.secs and
              again.time.nsecs == frame.time.nsecs, "read again at " .. tostring(packet.offset) .. ", another packet: " ..
              tostring(comment_of(again)) .. " for " .. tostring(comment_of(frame)))
    end
    return packets
end

-- Packets: the frame and its FCS, the exact time, the comments, a skipped
-- record noted on the next packet, and a trailing partial record ignored;
-- after eight good records, as the opening test reads them.
local all_ones = string.rep("\255", 8)                 -- 2^64 - 1 microseconds
local past_2_53 = le(2 ^ 53, 8):sub(1, 7) .. "\32"    -- 2^53 + 2^61 microseconds
local packets = packets_of(good .. record(7, le(1000001, 8), "ABC") .. record(8, all_ones, "", 0) .. unsound_record(9) ..
                           record(10, past_2_53, string.rep("z", 135)) .. "partial")
check(#packets == 11, #packets .. " packets, not 11")
for n = 1, 8 do
    local frame = packets[n] and packets[n].frame
    check(frame and frame.data == "frame" .. n .. "\154\188" and comment_of(frame) == "record " .. n .. ", flags 0x01" and
          frame.time.secs == 1765000000 and frame.time.nsecs == n * 1000, "good packet " .. n)
end
if packets[11] then
    local first, second, third = packets[9].frame, packets[10].frame, packets[11].frame
    check(first.data == "ABC\154\188", "the ninth packet's bytes")
    check(first.time.secs == 1 and first.time.nsecs == 1000, "the ninth packet's time")
    check(comment_of(first) == "record 7, flags 0x01", "the ninth comment: " .. tostring(comment_of(first)))
    check(second.data == "\154\188", "an empty frame keeps its FCS")
    check(second.time.secs == 18446744073709 and second.time.nsecs == 551615000,
          "2^64 - 1 microseconds: " .. second.time.secs .. " s " .. second.time.nsecs .. " ns")
    check(comment_of(second) == "record 8, flags 0x00", "the tenth comment")
    check(#third.data == 137, "a payload of 135 bytes and its FCS")
    check(third.time.secs == 2314850208468 and third.time.nsecs == 434944000,
          "2^53 + 2^61 microseconds: " .. third.time.secs .. " s " .. third.time.nsecs .. " ns")
    check(comment_of(third) == "record 9 skipped: invalid length|record 10, flags 0x01", "the notes: " .. comment_of(third))
end

-- Records skipped before a packet, each run read back where the packet
-- lies: at the file's start, one, sixteen (all noted), seventeen and 300 (a
-- count of the rest, past one chunk of records), and between two packets.
local function run(from, to)
    local records = {}
    for n = from, to do records[#records + 1] = unsound_record(n) end
    return table.concat(records)
end
local function notes(from, to)
    local words = {}
    for n = from, math.min(to, from + 15) do words[#words + 1] = "record " .. n .. " skipped: invalid length" end
    if to - from + 1 > 16 then
        words[#words + 1] = "and " .. (to - from + 1 - 16) .. " more records skipped: invalid length, the last record " .. to
    end
    return table.concat(words, "|") .. "|"
end
for _, row in ipairs({
    { name = "at the start", capture = run(1, 3) .. good, first = notes(1, 3) .. "record 1, flags 0x01" },
    { name = "one", capture = good:sub(1, 151) .. run(2, 2) .. good:sub(152), second = notes(2, 2) .. "record 2, flags 0x01" },
    { name = "sixteen", capture = good .. run(100, 115) .. record(9, le(0, 8), "x"), ninth = notes(100, 115) .. "record 9, flags 0x01" },
    { name = "seventeen", capture = good .. run(100, 116) .. record(9, le(0, 8), "x"), ninth = notes(100, 116) .. "record 9, flags 0x01" },
    { name = "three hundred", capture = good .. run(1000, 1299) .. record(9, le(0, 8), "x"),
      ninth = notes(1000, 1299) .. "record 9, flags 0x01" },
}) do
    local read_packets = packets_of(row.capture)
    for index, key in pairs({ "first", "second", [9] = "ninth" }) do
        if row[key] then
            check(read_packets[index] and comment_of(read_packets[index].frame) == row[key],
                  "the notes of a run of records skipped " .. row.name .. ": " ..
                  tostring(read_packets[index] and comment_of(read_packets[index].frame)))
        end
    end
end

-- Nothing is kept per packet read: memory stays flat however many packets
-- follow a skipped record.
do
    local pairs_of = {}
    for n = 1, 4000 do pairs_of[n] = unsound_record(2 * n) .. record(2 * n + 1, le(1765000000000000 + n, 8), "frame") end
    local info, file = new_capture(), file_of(good .. table.concat(pairs_of))
    check(read_open(file, info), "pairs of a skipped and a good record not taken")
    local used = {}
    for n = 1, 4008 do
        check(read(file, info, new_frame()), "packet " .. n .. " of the pairs")
        if n == 1008 or n == 4008 then
            collectgarbage("collect")
            used[#used + 1] = collectgarbage("count")
        end
    end
    check(used[2] - used[1] < 64, "memory grew by " .. math.floor(used[2] - used[1]) .. " KiB over 3,000 packets with notes")
end

-- Record numbers at each width the comment's digits are put together by,
-- with flag bits besides the FCS flag.
for _, row in ipairs({
    { 0, 1 }, { 9, 1 }, { 999, 255 }, { 1000, 1 }, { 1001, 3 }, { 10010, 1 }, { 999999, 0 }, { 1000000, 1 },
    { 1002003, 129 }, { 999999999, 1 }, { 1000000000, 1 }, { 4294967295, 255 },
}) do
    local number, flags = row[1], row[2]
    local one = packets_of(record(number, le(1765000000000000, 8), "frame", flags))
    local expected = string.format("record %d, flags 0x%02x", number, flags)
    check(one[1] and one[1].offset == 0 and one[1].frame.comment == expected,
          "the comment of record " .. number .. ": " .. tostring(one[1] and one[1].frame.comment))
end

print(_VERSION .. ": " .. (failures == 0 and "the file reader keeps its rules" or failures .. " failures"))
os.exit(failures == 0 and 0 or 1)
