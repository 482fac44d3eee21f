-- A file reader for Wireshark: a capture of 151-byte IEEE 802.15.4 records,
-- read as wpan2pcap converts it. Each whole record with a sound length is
-- one packet of IEEE 802.15.4 frames with their FCS (link type 195): the
-- frame and its two FCS bytes as stored, at the record's time; a record
-- whose length has no sound reading is left out, and so is a trailing
-- partial record. Each packet carries a comment with its record's number
-- and flags, after notes of the records skipped before it, as the extcap
-- program's pcapng does.
--
-- Runs unchanged under Lua 5.2 (Wireshark 4.0, 4.2) and 5.4 (4.4 on): no bit
-- or integer-division operators, which 5.2 lacks; and every number given to
-- Wireshark is a whole number that 5.4 holds as an integer, since from 4.4
-- Wireshark refuses a float where it wants an integer (5.4's `/` always
-- gives a float: math.floor turns a whole quotient back into an integer).
--
--   offset  width  field
--        0      1  flags      bit 0 set: `length` also counts the two FCS bytes
--        1      4  number     little-endian
--        5      8  timestamp  microseconds, little-endian
--       13      1  length
--       14    137  body       payload, then the two FCS bytes, then unused bytes

local record_size = 151
local body_offset = 14
local max_payload_length = 135
local snapshot_length = 128
-- The records looked at before a file is taken for a record capture.
local probe_records = 8
-- After this many notes of records skipped in a row, the rest are counted.
local max_skip_notes = 16

-- Tried before every other reader ("m" and "s"): a record capture whose
-- first record begins with PCAP's magic number by chance would otherwise be
-- claimed, and refused, by Wireshark's PCAP reader. So this one declines
-- every file that is not a record capture, those of the formats below first.
local reader = FileHandler.new("IEEE 802.15.4 record capture", "IEEE 802.15.4 record capture",
    "A capture of 151-byte IEEE 802.15.4 records, read as wpan2pcap converts it", "rms")
reader.extensions = "bin"

local floor = math.floor

-- A packet's comment is put together from strings made once, in a single
-- concatenation: a string.format per packet (a C library formatting call)
-- is much of the cost of its comment. Its record number is written by groups
-- of three digits.
local flag_words, digits, three_digits = {}, {}, {}
for value = 0, 255 do
    flag_words[value] = string.format(", flags 0x%02x", value)
end
for value = 0, 999 do
    digits[value], three_digits[value] = string.format("%d", value), string.format("%03d", value)
end

-- The comment "record N, flags 0xFF" of a record whose number is the whole
-- number `number`, below 2^32 (so every division here is exact).
local function record_words(number, flags)
    if number < 1000 then
        return "record " .. digits[number] .. flag_words[flags]
    end
    local units = number % 1000
    number = floor((number - units) / 1000)
    if number < 1000 then
        return "record " .. digits[number] .. three_digits[units] .. flag_words[flags]
    end
    local thousands = number % 1000
    number = floor((number - thousands) / 1000)
    if number < 1000 then
        return "record " .. digits[number] .. three_digits[thousands] .. three_digits[units] .. flag_words[flags]
    end
    local millions = number % 1000
    number = floor((number - millions) / 1000)
    return "record " .. digits[number] .. three_digits[millions] .. three_digits[thousands] .. three_digits[units] ..
        flag_words[flags]
end

-- The payload's length, or nothing when the payload and its FCS would not
-- fit in the record's body.
local function payload_length(flags, length)
    if flags % 2 == 1 then
        length = length - 2
    end
    if length < 0 or length > max_payload_length then
        return nil
    end
    return length
end

-- The capture formats Wireshark reads itself that a record capture may be
-- mistaken for, known by their headers: the converter's table of them, row
-- for row (a test of the project compares the two).
local other_formats = {
    { magic = "\212\195\178\161", check = "pcap", order = "little" },
    { magic = "\161\178\195\212", check = "pcap", order = "big" },
    { magic = "\77\60\178\161", check = "pcap", order = "little" },
    { magic = "\161\178\60\77", check = "pcap", order = "big" },
    { magic = "\10\13\13\10", check = "pcapng", order = "either" },
}
-- PCAP's version 2.4 and a snapshot length up to 256 MiB, the largest
-- Wireshark gives any link type; pcapng's byte-order magic, a section at
-- least as long as its header, in 4-byte units, and version 1.
local pcap_largest_snaplen = 268435456
local pcapng_byte_order_magic = 439041101 -- 0x1A2B3C4D
local pcapng_smallest_section_header = 28

-- The unsigned number of `width` bytes of `bytes` from position `at` (1 is
-- the first), in the byte order given.
local function number_at(bytes, at, width, big)
    local value = 0
    for i = 0, width - 1 do
        value = value * 256 + bytes:byte(big and at + i or at + width - 1 - i)
    end
    return value
end

local function header_holds(format, head)
    if format.check == "pcap" then
        local big = format.order == "big"
        return #head >= 20 and number_at(head, 5, 2, big) == 2 and number_at(head, 7, 2, big) == 4 and
            number_at(head, 17, 4, big) <= pcap_largest_snaplen
    end
    if #head < 14 then
        return false
    end
    local big = number_at(head, 9, 4, true) == pcapng_byte_order_magic
    if not big and number_at(head, 9, 4, false) ~= pcapng_byte_order_magic then
        return false
    end
    local length = number_at(head, 5, 4, big)
    return length >= pcapng_smallest_section_header and length % 4 == 0 and number_at(head, 13, 2, big) == 1
end

local function other_format(head)
    local magic = head:sub(1, 4)
    for _, format in ipairs(other_formats) do
        if format.magic == magic and header_holds(format, head) then
            return format
        end
    end
    return nil
end

-- Whether the file's first records look like a record capture. A record
-- capture has no magic number of its own: its first records must be
-- records. Their times are microsecond counts that a capture's clock never
-- takes near 2^53 (the year 2255): random bytes and text have a nonzero
-- byte there nearly always. And most of them have a sound length.
local function looks_like_records(head)
    if other_format(head) then
        return false
    end
    local count = floor(#head / record_size)
    if count == 0 then
        return false
    end
    local sound = 0
    for at = 0, (count - 1) * record_size, record_size do
        local flags, time_byte_6, time_byte_7, length = head:byte(at + 1), head:byte(at + 12), head:byte(at + 13), head:byte(at + 14)
        if time_byte_7 ~= 0 or time_byte_6 >= 32 then
            return false
        end
        if payload_length(flags, length) then
            sound = sound + 1
        end
    end
    return sound * 2 > count
end

-- Looked up once: every packet is made of them.
local packet_record = wtap_rec_types.PACKET
local with_time = wtap_presence_flags.TS
local byte, sub = string.byte, string.sub
-- The time given to the packets whose seconds fit NSTime's setters (31
-- bits: until 2038), and the seconds it holds: each of its fields set costs
-- a call into Wireshark, and packets in a row mostly share their second.
local stamp, stamp_seconds = NSTime(0, 0), 0

-- Gives `frame` the record's time, exactly, for all 64 bits: 2^32
-- microseconds are 4294 s and 967296 us, so no value in the sums passes
-- 2^53, which a Lua number holds exactly. A time past the stamp's reach
-- gets an NSTime of its own.
local function set_time(frame, t0, t1, t2, t3, t4, t5, t6, t7)
    local low = t0 + t1 * 256 + t2 * 65536 + t3 * 16777216
    local high = t4 + t5 * 256 + t6 * 65536 + t7 * 16777216
    local rest = high * 967296 + low
    local microseconds = rest % 1000000
    local seconds, nanoseconds = high * 4294 + floor((rest - microseconds) / 1000000), microseconds * 1000
    if seconds < 2147483648 then
        if seconds ~= stamp_seconds then
            stamp.secs, stamp_seconds = seconds, seconds
        end
        stamp.nsecs = nanoseconds
        frame.time = stamp
    else
        frame.time = NSTime(seconds, nanoseconds)
    end
end

-- The notes of `skipped` records skipped in a row, ahead of the packet's own
-- comment: the numbers of the first max_skip_notes are `noted`, and `last`
-- is the number of the last.
local function with_notes(noted, skipped, last, comment)
    local notes = {}
    for i = 1, #noted do
        notes[i] = "record " .. noted[i] .. " skipped: invalid length"
    end
    if skipped > max_skip_notes then
        notes[#notes + 1] = "and " .. (skipped - max_skip_notes) .. " more records skipped: invalid length, the last record " .. last
    end
    notes[#notes + 1] = comment
    return notes
end

-- Records are read this many at a time, and taken apart where they lie.
local chunk_records = 256

reader.read_open = function(file, capture)
    if not file:seek("set", 0) then
        return false
    end
    local head = file:read(record_size * probe_records)
    if not head or not looks_like_records(head) then
        return false
    end
    file:seek("set", 0)
    capture.encap = wtap_encaps.IEEE802_15_4
    capture.time_precision = wtap_tsprecs.USEC
    capture.snapshot_length = snapshot_length
    -- The records read and not yet taken (`chunk`, from `at`), and the
    -- file's offset of the chunk. Nothing is kept per packet: a packet read
    -- again finds the records skipped before it in the file.
    capture.private_table = { chunk = "", at = 0, chunk_offset = 0 }
    return true
end

local function number_of(n0, n1, n2, n3)
    return n0 + n1 * 256 + n2 * 65536 + n3 * 16777216
end

reader.read = function(file, capture, frame)
    local state = capture.private_table
    local chunk, at = state.chunk, state.at
    local noted, skipped, last_skipped
    while true do
        if at + record_size > #chunk then
            -- The next records; a trailing partial record is no packet.
            state.chunk_offset = state.chunk_offset + at
            chunk, at = file:read(record_size * chunk_records), 0
            if not chunk or #chunk < record_size then
                state.chunk, state.at = "", 0
                return false
            end
            state.chunk = chunk
        end
        local offset = state.chunk_offset + at
        local flags, n0, n1, n2, n3, t0, t1, t2, t3, t4, t5, t6, t7, length = byte(chunk, at + 1, at + 14)
        at = at + record_size
        local payload = payload_length(flags, length)
        if payload then
            state.at = at
            local comment = record_words(number_of(n0, n1, n2, n3), flags)
            if noted then
                comment = with_notes(noted, skipped, last_skipped, comment)
            end
            -- (The record's type is a packet's from the start: no reader but
            -- this one writes it.)
            frame.flags = with_time
            set_time(frame, t0, t1, t2, t3, t4, t5, t6, t7)
            frame.data = sub(chunk, at - record_size + body_offset + 1, at - record_size + body_offset + payload + 2)
            frame.comment = comment
            return offset
        end
        -- No packet: a note on the next one.
        skipped = (skipped or 0) + 1
        last_skipped = number_of(n0, n1, n2, n3)
        noted = noted or {}
        if skipped <= max_skip_notes then
            noted[skipped] = last_skipped
        end
    end
end

-- The records skipped in a row right before the record at `offset`: how
-- many, read back from there to a record with a sound length or the file's
-- start, a chunk at a time.
local function skipped_before(file, offset)
    local skipped, at = 0, offset
    while at > 0 do
        local count = math.min(chunk_records, floor(at / record_size))
        at = at - count * record_size
        if not file:seek("set", at) then
            return nil
        end
        local chunk = file:read(count * record_size)
        if not chunk or #chunk < count * record_size then
            return nil
        end
        for i = (count - 1) * record_size, 0, -record_size do
            if payload_length(byte(chunk, i + 1), byte(chunk, i + 14)) then
                return skipped
            end
            skipped = skipped + 1
        end
    end
    return skipped
end

-- The numbers of the first max_skip_notes of `skipped` records from
-- `first` (an offset), and of the last.
local function skipped_numbers(file, first, skipped)
    local noted = {}
    local count = math.min(skipped, max_skip_notes)
    if not file:seek("set", first) then
        return nil
    end
    local records = file:read(count * record_size)
    if not records or #records < count * record_size then
        return nil
    end
    for i = 0, count - 1 do
        noted[i + 1] = number_of(byte(records, i * record_size + 2, i * record_size + 5))
    end
    local last = noted[count]
    if skipped > count then
        file:seek("set", first + (skipped - 1) * record_size)
        local record = file:read(record_size)
        if not record or #record < record_size then
            return nil
        end
        last = number_of(byte(record, 2, 5))
    end
    return noted, last
end

reader.seek_read = function(file, capture, frame, offset)
    -- Wireshark may give the offset as a float.
    offset = floor(offset)
    -- The record and the one before it, read at once: most packets follow
    -- one, and have no notes.
    local before = offset >= record_size and record_size or 0
    if not file:seek("set", offset - before) then
        return false
    end
    local records = file:read(before + record_size)
    if not records or #records < before + record_size then
        return false
    end
    local flags, n0, n1, n2, n3, t0, t1, t2, t3, t4, t5, t6, t7, length = byte(records, before + 1, before + 14)
    local payload = payload_length(flags, length)
    if not payload then
        return false
    end
    local comment = record_words(number_of(n0, n1, n2, n3), flags)
    if before > 0 and not payload_length(byte(records, 1), byte(records, 14)) then
        local skipped, noted, last = skipped_before(file, offset)
        if skipped then
            noted, last = skipped_numbers(file, offset - skipped * record_size, skipped)
        end
        if not noted then
            return false
        end
        comment = with_notes(noted, skipped, last, comment)
    end
    frame.rec_type = packet_record
    frame.flags = with_time
    set_time(frame, t0, t1, t2, t3, t4, t5, t6, t7)
    frame.data = sub(records, before + body_offset + 1, before + body_offset + payload + 2)
    frame.comment = comment
    return true
end

reader.read_close = function(file, capture)
    capture.private_table = nil
    return true
end

reader.seq_read_close = function(file, capture)
    return true
end

register_filehandler(reader)
