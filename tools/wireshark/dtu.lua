-- Wireshark dissector for the terminal protocol of dtucentre (UDP, one frame
-- per datagram).
--
--   7B | code | length (BE16) | ID (11 bytes, NUL padded) | body | 7B | payload
--
-- Load it for one run with   tshark -X lua_script:tools/wireshark/dtu.lua ...
-- or copy it into the personal plugin folder (~/.local/lib/wireshark/plugins/);
-- `cmake --install build --prefix ~/.local` does that.
--
-- Every field covers only bytes that the datagram holds; whatever a terminal
-- or a stranger sends ends as expert information, never as a Lua error.

-- Loaded twice (installed, and named with -X lua_script): the first copy serves.
local loaded, other = pcall(Dissector.get, "dtu")
if loaded and other then return end

local dtu = Proto("dtu", "DTU terminal protocol")

local kMark = 0x7B
local kHead = 16          -- a head-only frame: mark, code, length, ID, mark
local kMaxData = 1024     -- user data in one datagram
local kReplyElements = 35 -- the centre reads no more elements of a reply

local codes = {
  [0x01] = "Logon", [0x02] = "Logout", [0x04] = "InvalidCmd", [0x05] = "DataReply",
  [0x09] = "UserData", [0x0B] = "ParamReadReply", [0x0D] = "ParamSetReply", [0x13] = "IdReport",
  [0x81] = "LogonAck", [0x82] = "LogoutCmd", [0x83] = "NotLoggedOn", [0x84] = "InvalidCmdReply",
  [0x85] = "DataAck", [0x89] = "UserDataDown", [0x8B] = "ParamRead", [0x8D] = "ParamSet",
}
local kLogon, kUserData, kParamReadReply, kIdReport = 0x01, 0x09, 0x0B, 0x13
local kUserDataDown, kParamSet = 0x89, 0x8D

-- Parameter tags by form: longest text, width of a number.
local text_max = { [1] = 8, [2] = 30, [3] = 20, [4] = 24, [5] = 8, [6] = 11, [14] = 128,
                   [23] = 11, [48] = 24, [49] = 24, [50] = 13 }
local number_width = { [7] = 2, [8] = 2, [9] = 2, [10] = 2, [11] = 1, [12] = 2, [13] = 4,
                       [15] = 2, [16] = 2, [17] = 4, [19] = 1, [20] = 1, [21] = 2, [22] = 2,
                       [24] = 1, [25] = 1, [26] = 1, [32] = 4, [33] = 2 }
local kComposite = 18

local f = {
  start = ProtoField.uint8("dtu.start", "Start mark", base.HEX),
  code = ProtoField.uint8("dtu.code", "Code", base.HEX, codes),
  length = ProtoField.uint16("dtu.length", "Length", base.DEC),
  id = ProtoField.string("dtu.id", "Terminal ID"),
  direction = ProtoField.uint8("dtu.direction", "Direction", base.DEC,
                               { [0] = "to the centre", [1] = "to the terminal" }),
  body = ProtoField.bytes("dtu.body", "Body"),
  logon_addr = ProtoField.ipv4("dtu.logon.addr", "Reported address"),
  logon_port = ProtoField.uint16("dtu.logon.port", "Reported port"),
  logon_extra = ProtoField.bytes("dtu.logon.extra", "Further logon bytes"),
  param_count = ProtoField.uint16("dtu.param.count", "Parameters"),
  param = ProtoField.none("dtu.param", "Parameter"),
  param_tag = ProtoField.uint8("dtu.param.tag", "Tag"),
  param_length = ProtoField.uint8("dtu.param.length", "Element length"),
  param_value = ProtoField.string("dtu.param.value", "Value"),
  ["end"] = ProtoField.uint8("dtu.end", "End mark", base.HEX),
  data = ProtoField.bytes("dtu.data", "User data"),
  data_text = ProtoField.string("dtu.data.text", "User data (printable)"),
  trailer = ProtoField.bytes("dtu.trailer", "Bytes past the frame"),
}
dtu.fields = f

local group, sev = expert.group, expert.severity
local e = {
  short = ProtoExpert.new("dtu.short", "Datagram shorter than the 16-byte head",
                          group.MALFORMED, sev.ERROR),
  start = ProtoExpert.new("dtu.bad_start", "Wrong start mark", group.MALFORMED, sev.ERROR),
  length = ProtoExpert.new("dtu.bad_length", "Bad length field", group.MALFORMED, sev.ERROR),
  ["end"] = ProtoExpert.new("dtu.bad_end", "Wrong end mark", group.MALFORMED, sev.ERROR),
  code = ProtoExpert.new("dtu.unknown_code", "Unknown code", group.PROTOCOL, sev.WARN),
  id = ProtoExpert.new("dtu.bad_id", "Terminal ID the centre rejects", group.PROTOCOL, sev.ERROR),
  empty_id = ProtoExpert.new("dtu.empty_id", "Empty terminal ID", group.PROTOCOL, sev.WARN),
  refused = ProtoExpert.new("dtu.refused", "Frame the centre refuses", group.PROTOCOL, sev.ERROR),
  data = ProtoExpert.new("dtu.data_too_long", "User data over 1024 bytes", group.PROTOCOL, sev.ERROR),
  param = ProtoExpert.new("dtu.bad_param", "Malformed parameter element", group.MALFORMED, sev.ERROR),
  unread = ProtoExpert.new("dtu.param_unread", "The centre stops reading the reply here",
                           group.PROTOCOL, sev.WARN),
  note = ProtoExpert.new("dtu.note", "Unusual but accepted", group.PROTOCOL, sev.NOTE),
}
dtu.experts = e

-- Text safe for a terminal screen: printable ASCII as it is, the rest escaped.
local function escaped(raw)
  return (raw:gsub("[^\32-\126]", function(c) return string.format("\\x%02X", c:byte()) end))
end

local function hex(raw)
  return (raw:gsub(".", function(c) return string.format("%02X", c:byte()) end))
end

-- The value of a parameter element in the form its tag gives it.
local function param_value(tag, raw)
  local n = #raw
  if text_max[tag] then return escaped(raw) end
  if number_width[tag] and n >= 1 and n <= 4 then
    local v = 0
    for i = 1, n do v = v * 256 + raw:byte(i) end
    return tostring(v)
  end
  if tag == kComposite and n == 7 then
    local b = { raw:byte(1, 7) }
    local n3 = b[5] == 0 and 1 or 2
    local n4 = b[6] == 0 and 0 or (b[6] == 8 and 1 or 2)
    return string.format("%d-%d-%d-%d-%d", (b[1] * 256 + b[2]) * 256 + b[3], (b[4] + 5) % 256, n3, n4, b[7])
  end
  return hex(raw)
end

-- Why the centre's reply decoder would stop at this element, or nil.
local function reply_refusal(tag, elen)
  local v = elen - 2
  if elen >= 128 then return "element length of 128 or more" end
  if tag == 26 then return "tag 26 is write only" end
  if tag == 14 then
    if v >= 1 and v <= 6 then return "tag 14 of 1 to 6 bytes" end
  elseif tag == 6 then
    if v ~= 11 then return "tag 6 must hold 11 bytes" end
  elseif tag == 1 and v == 0 then
    return "tag 1 is empty"
  elseif text_max[tag] then
    if v > text_max[tag] then return string.format("tag %d longer than %d bytes", tag, text_max[tag]) end
  elseif tag == kComposite then
    if v ~= 7 then return "tag 18 must hold 7 bytes" end
  elseif number_width[tag] then
    if v ~= number_width[tag] then return string.format("tag %d must hold %d bytes", tag, number_width[tag]) end
  else
    return string.format("tag %d is not a parameter the centre reads", tag)
  end
  return nil
end

-- Parameter elements from first up to (not including) stop; returns how many
-- are whole.
local function dissect_params(tvb, tree, first, stop, is_reply, problems)
  local pos, count, reading = first, 0, is_reply
  while pos < stop do
    local avail = stop - pos
    local tag = tvb(pos, 1):uint()
    local el = tree:add(f.param, tvb(pos, math.min(avail, 2)))
    el:add(f.param_tag, tvb(pos, 1))
    if avail < 2 then
      el:set_text(string.format("Parameter %d, cut off", tag))
      el:add_proto_expert_info(e.param, "Parameter element runs past the frame")
      problems[#problems + 1] = "element past the frame"
      break
    end
    local elen = tvb(pos + 1, 1):uint()
    el:add(f.param_length, tvb(pos + 1, 1))
    if elen < 2 then
      el:set_text(string.format("Parameter %d, element length %d", tag, elen))
      el:add_proto_expert_info(e.param, "Element length below 2")
      problems[#problems + 1] = "element length below 2"
      break
    end
    local vlen = math.min(elen, avail) - 2
    el:set_len(vlen + 2)
    local raw = vlen > 0 and tvb(pos + 2, vlen):raw() or ""
    local value = param_value(tag, raw)
    if vlen > 0 then
      el:add(f.param_value, tvb(pos + 2, vlen), value)
    else
      el:add(f.param_value, tvb(pos + 1, 1), value):set_generated()
    end
    el:set_text(string.format("Parameter %d = %s", tag, value))
    if elen > avail then
      el:append_text(", cut off")
      el:add_proto_expert_info(e.param, "Parameter element runs past the frame")
      problems[#problems + 1] = "element past the frame"
      break
    end
    if reading then
      local why = count >= kReplyElements and "the centre reads at most 35 elements"
                  or reply_refusal(tag, elen)
      if why then
        el:add_proto_expert_info(e.unread, "The centre stops reading the reply here: " .. why)
        reading = false
      end
    end
    count = count + 1
    pos = pos + elen
  end
  return count
end

local function dissect(tvb, pinfo, tree)
  local size = tvb:len()
  pinfo.cols.protocol = "DTU"
  local root = tree:add(dtu, tvb())
  local problems = {}
  local function problem(item, ex, text)
    item:add_proto_expert_info(ex, text)
    problems[#problems + 1] = text
  end

  local start = root:add(f.start, tvb(0, 1))
  if tvb(0, 1):uint() ~= kMark then problem(start, e.start, "Wrong start mark") end
  local code, name = nil, "DTU"
  if size >= 2 then
    code = tvb(1, 1):uint()
    name = codes[code] or string.format("Unknown (0x%02X)", code)
    local item = root:add(f.code, tvb(1, 1))
    root:add(f.direction, tvb(1, 1), code >= 0x80 and 1 or 0):set_generated()
    if not codes[code] then problem(item, e.code, "Unknown code") end
  end
  local length, length_item
  if size >= 4 then
    length = tvb(2, 2):uint()
    length_item = root:add(f.length, tvb(2, 2))
  end
  local id = ""
  if size > 4 then
    local raw = tvb(4, math.min(11, size - 4)):raw()
    id = escaped(raw:match("^[^\0]*"))
    local item = root:add(f.id, tvb(4, #raw), id)
    if #raw == 11 then
      if id == "00000000000" then
        problem(item, e.id, "ID 00000000000 stands for no terminal")
      elseif id == "" then
        problem(item, e.empty_id, "Empty terminal ID")
      end
    end
  end
  local info = name .. (id ~= "" and " " .. id or "")

  local function finish(fact)
    if fact then info = info .. ": " .. fact end
    if #problems > 0 then info = info .. " [" .. table.concat(problems, "; ") .. "]" end
    pinfo.cols.info:set(info)
    root:append_text(", " .. info)
    return size
  end

  if size < kHead then
    problem(root, e.short, string.format("Datagram of %d bytes, shorter than the 16-byte head", size))
    return finish()
  end
  if length < kHead or length > size then
    problem(length_item, e.length, length < kHead and "Length field below 16"
            or string.format("Length field %d runs past the %d-byte datagram", length, size))
    root:add(f.body, tvb(15))
    return finish()
  end
  local function end_mark()
    local item = root:add(f["end"], tvb(length - 1, 1))
    if tvb(length - 1, 1):uint() ~= kMark then problem(item, e["end"], "Wrong end mark") end
  end

  -- User data runs from behind the head to the end of the datagram, whatever
  -- the length field says.
  if code == kUserData or code == kUserDataDown then
    end_mark()
    if length ~= kHead then
      length_item:add_proto_expert_info(e.note, "Length field of a user-data frame is not 16; the data still starts at offset 16")
    end
    local n = size - kHead
    local fact = string.format("%d byte%s", n, n == 1 and "" or "s")
    if n > 0 then
      local text = tvb(kHead, n):raw():gsub("[^\32-\126]", ".")
      local item = root:add(f.data, tvb(kHead, n))
      root:add(f.data_text, tvb(kHead, n), text)
      if n > kMaxData then problem(item, e.data, "User data over 1024 bytes") end
      fact = fact .. ' "' .. (n > 32 and text:sub(1, 32) .. '..."' or text .. '"')
    end
    return finish(fact)
  end

  local fact
  local body = length - kHead   -- bytes from offset 15 up to the end mark
  if code == kLogon then
    if length ~= 22 and length ~= 33 then
      problem(length_item, e.refused, "Logon length neither 22 nor 33")
    end
    if body >= 4 then root:add(f.logon_addr, tvb(15, 4)) end
    if body >= 6 then
      root:add(f.logon_port, tvb(19, 2))
      fact = string.format("%s:%d", tostring(tvb(15, 4):ipv4()), tvb(19, 2):uint())
    end
    if body > 6 then root:add(f.logon_extra, tvb(21, body - 6)) end
    if body > 0 and body < 4 then root:add(f.body, tvb(15, body)) end
  elseif code == kParamReadReply or code == kParamSet then
    local list = root:add(tvb(15, body), "Parameter elements")
    local count = dissect_params(tvb, list, 15, length - 1, code == kParamReadReply, problems)
    root:add(f.param_count, count):set_generated()
    fact = string.format("%d parameter%s", count, count == 1 and "" or "s")
  else
    if code == kIdReport and tvb(15, 1):uint() ~= kMark then
      problem(root, e.refused, "IdReport without the mark at offset 15")
    end
    if body > 0 then root:add(f.body, tvb(15, body)) end
  end
  end_mark()
  if size > length then
    root:add(f.trailer, tvb(length)):add_proto_expert_info(e.note, "Bytes past the frame's end mark")
  end
  return finish(fact)
end

function dtu.dissector(tvb, pinfo, tree)
  if tvb:len() == 0 then return 0 end
  return dissect(tvb, pinfo, tree)
end

-- A datagram is taken for this protocol on any port when it is a whole
-- frame: start mark, a length within it, the end mark where the length puts
-- it, and a known code.
local function heuristic(tvb, pinfo, tree)
  local size = tvb:len()
  if size < kHead or tvb(0, 1):uint() ~= kMark or not codes[tvb(1, 1):uint()] then return false end
  local length = tvb(2, 2):uint()
  if length < kHead or length > size or tvb(length - 1, 1):uint() ~= kMark then return false end
  dissect(tvb, pinfo, tree)
  return true
end
dtu:register_heuristic("udp", heuristic)

dtu.prefs.port = Pref.uint("UDP port", 5002, "The centre's UDP port (0 for none)")
local registered_port = 0
local function register_port()
  local udp = DissectorTable.get("udp.port")
  if registered_port ~= 0 then udp:remove(registered_port, dtu) end
  registered_port = dtu.prefs.port
  if registered_port ~= 0 then udp:add(registered_port, dtu) end
end
dtu.prefs_changed = register_port
register_port()
