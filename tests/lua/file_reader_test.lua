-- The file reader's own rules, run by each Lua that Wireshark embeds (5.2 in
-- Wireshark 4.0 and 4.2, 5.4 from 4.4), with the few parts of Wireshark's
-- API it uses played here: its opening test on files of random bytes, text
-- and other capture formats, and each packet's bytes, time and comments on
-- records built here, times past 2^53 microseconds included.
--
--   lua5.x file_reader_test.lua READER.lua SAMPLE.bin

local reader_path, sample_path = arg[1], arg[2]

-- Wireshark's side, as far as the reader uses it.
local registered
FileHandler = { new = function(description, name, internal, kind) return { name = name, kind = kind } end }
function register_filehandler(handler) registered = handler end
wtap_encaps = { IEEE802_15_4 = 104 }
wtap_tsprecs = { USEC = 6 }
wtap_rec_types = { PACKET = 0 }
wtap_presence_flags = { TS = 1, CAP_LEN = 2 }
function NSTime(secs, nsecs) return { secs = secs, nsecs = nsecs } end

-- A packet as Wireshark's FrameInfo takes it: a time given is copied.
local function new_frame()
    return setmetatable({}, { __newindex = function(frame, key, value)
        rawset(frame, key, key == "time" and { secs = value.secs, nsecs = value.nsecs } or value)
    end })
end

-- A file over a string, read as Wireshark's File object reads.
local function file_of(bytes)
    local position = 0
    return {
        seek = function(self, whence, offset)
            position = (whence == "set" and 0 or position) + (offset or 0)
            return position
        end,
        read = function(self, size)
            if position >= #bytes then return nil end
            local piece = bytes:sub(position + 1, position + size)
            position = position + #piece
            return piece
        end,
    }
end

dofile(reader_path)
assert(registered and registered.kind == "r", "the reader is registered as a reader")

local failures = 0
local function check(condition, what)
    if not condition then
        failures = failures + 1
        print("FAIL: " .. what)
    end
end

local function opens(bytes)
    return registered.read_open(file_of(bytes), {}) == true
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

-- A generator of its own: the same bytes under every Lua.
local state = 12345
local function random_byte()
    state = (state * 1103515245 + 12345) % 2147483648
    return (state - state % 65536) / 65536 % 256
end

-- 200 files of random bytes, 8 to 40 records' worth: none is taken.
local taken = 0
for n = 1, 200 do
    local size = (8 + n % 33) * 151
    local bytes = {}
    for i = 1, size do bytes[i] = string.char(random_byte()) end
    if opens(table.concat(bytes)) then taken = taken + 1 end
end
check(taken == 0, taken .. " of 200 files of random bytes taken for record captures")

-- Text, and the other formats' magic numbers before good records.
local text = string.rep("A capture of 151-byte records, read as the converter reads it.\n", 40)
check(not opens(text), "text taken for a record capture")
local good = ""
for n = 1, 8 do good = good .. record(n, le(1765000000000000 + n, 8), "frame" .. n) end
check(opens(good), "eight good records not taken")
check(opens(good:sub(1, 151)), "a single good record not taken")
check(not opens(good:sub(1, 150)), "less than a record taken")
for _, magic in ipairs({ "\212\195\178\161", "\161\178\195\212", "\77\60\178\161", "\161\178\60\77", "\10\13\13\10" }) do
    check(not opens(magic .. good:sub(5)), "a capture beginning with another format's magic number taken")
end
-- Records whose lengths have no sound reading are no capture; a capture
-- whose first record is skipped still is.
local unsound = ""
for n = 1, 8 do unsound = unsound .. record(n, le(1765000000000000 + n, 8), "frame"):sub(1, 13) .. "\200" .. string.rep("\0", 137) end
check(not opens(unsound), "records whose lengths have no sound reading taken for a record capture")
check(opens(unsound:sub(1, 151) .. good:sub(152)), "a capture whose first record is skipped not taken")
local sample = io.open(sample_path, "rb"):read("*a")
check(opens(sample), "the bundled sample not taken")

-- Packets: the frame and its FCS, the exact time, the comments, a skipped
-- record noted on the next packet, and a trailing partial record ignored;
-- after eight good records, as the opening test reads them.
local all_ones = string.rep("\255", 8)                 -- 2^64 - 1 microseconds
local past_2_53 = le(2 ^ 53, 8):sub(1, 7) .. "\32"    -- 2^53 + 2^61 microseconds
local skipped = record(9, le(0, 8), "x")
local capture = good .. record(7, le(1000001, 8), "ABC") .. record(8, all_ones, "", 0) ..
    skipped:sub(1, 13) .. "\1" .. skipped:sub(15) ..   -- length 1 with the FCS flag: no sound reading
    record(10, past_2_53, string.rep("z", 135)) .. "partial"
local capture_info = {}
local file = file_of(capture)
check(registered.read_open(file, capture_info), "the built capture not taken")
local frames = {}
while true do
    local frame = new_frame()
    local offset = registered.read(file, capture_info, frame)
    if not offset then break end
    frame.offset = offset
    frames[#frames + 1] = frame
end
check(#frames == 11, #frames .. " packets, not 11")
local function comment_of(frame)
    return type(frame.comment) == "table" and table.concat(frame.comment, "|") or frame.comment
end
for n = 1, 8 do
    check(frames[n] and frames[n].data == "frame" .. n .. "\154\188" and comment_of(frames[n]) == "record " .. n .. ", flags 0x01" and
          frames[n].time.secs == 1765000000 and frames[n].time.nsecs == n * 1000, "good packet " .. n)
end
local first, second, third = frames[9], frames[10], frames[11]
if third then
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
    -- Read again where it lies, as Wireshark does for a packet it shows.
    for _, frame in ipairs({ first, second, third }) do
        local again = new_frame()
        check(registered.seek_read(file, capture_info, again, frame.offset), "seek_read")
        check(again.data == frame.data and comment_of(again) == comment_of(frame) and again.time.secs == frame.time.secs and
              again.time.nsecs == frame.time.nsecs, "read again, the same packet")
    end
end

-- Record numbers at each width the comment's digits are put together by,
-- with flag bits besides the FCS flag.
for _, row in ipairs({
    { 0, 1 }, { 9, 1 }, { 999, 255 }, { 1000, 1 }, { 1001, 3 }, { 10010, 1 }, { 999999, 0 }, { 1000000, 1 },
    { 1002003, 129 }, { 999999999, 1 }, { 1000000000, 1 }, { 4294967295, 255 },
}) do
    local number, flags = row[1], row[2]
    local one = file_of(record(number, le(1765000000000000, 8), "frame", flags))
    local info, frame = {}, new_frame()
    local expected = string.format("record %d, flags 0x%02x", number, flags)
    check(registered.read_open(one, info) and registered.read(one, info, frame) == 0 and frame.comment == expected,
          "the comment of record " .. number .. ": " .. tostring(frame.comment))
    local again = new_frame()
    check(registered.seek_read(one, info, again, 0) and again.comment == expected, "read again, record " .. number)
end

print(_VERSION .. ": " .. (failures == 0 and "the file reader keeps its rules" or failures .. " failures"))
os.exit(failures == 0 and 0 or 1)
