-- Works out diskrelay's transfer variables from a chunk request.
--
-- Runs in the fixups phase of the chunk location (LuaHookFixups, see
-- chunk-location.conf.in), after the URL has been mapped to diskrelay, and
-- leaves its results in the request's CGI environment:
--
--   XFER_CANON_PATH       image folder + the URL path below the location
--   XFER_START, XFER_END  the half-open byte range of a GET, from the Range
--                         header and the file's size; the upload offset of a POST
--   CONTENT_RANGE_HEADER  "bytes FIRST-LAST/SIZE" when a GET names a range
--   RANGE_UNSATISFIABLE   when it names one that lies past the file's end
--
-- The image folder comes from CHUNK_IMAGE_DIR, set for the location with
-- SetEnvIfExpr (which runs before this phase, whatever the module order).
-- Where CHUNK_DEVICE_IN_PATH is set the same way, the URL's first segment
-- below the location names the device the image belongs to (and is its folder
-- below the image folder): EXPECTED_DEVICE_ID is set from it, so diskrelay
-- serves the image only to the device whose certificate carries that id.
-- Requests that cannot be served are refused here with a plain HTTP status,
-- so diskrelay only ever sees a complete, consistent set of variables.

-- Offsets up to 18 digits fit a 64-bit integer; longer ones are treated as
-- "larger than any file", never wrapped.
local HUGE = math.maxinteger

local function offset(digits)
  if #digits > 18 then return HUGE end
  return math.tointeger(tonumber(digits))
end

-- Every segment a plain file name: no empty, "." or ".." segment, no hidden
-- file, nothing but letters, digits and ._+- (Apache has already decoded %XX).
local function image_path(dir, rel)
  if rel == nil or rel:sub(1, 1) ~= "/" then return nil end
  local tail = rel:sub(2)
  if tail == "" or tail:find("//", 1, true) or tail:sub(-1) == "/" then return nil end
  for seg in tail:gmatch("[^/]+") do
    if seg:sub(1, 1) == "." or not seg:match("^[%w._+-]+$") then return nil end
  end
  return dir .. rel
end

-- The one range of a "Range: bytes=..." header: "span", first, last for
-- "first-last"; "from", first for "first-"; "suffix", length for "-length".
-- Anything else (another unit, several ranges, first > last, no digits) is
-- not a single range we serve: nil.
local function parse_range(header)
  local range_set = header:match("^%s*[Bb][Yy][Tt][Ee][Ss]%s*=%s*(.-)%s*$")
  if not range_set then return nil end
  local a, b = range_set:match("^(%d*)%s*%-%s*(%d*)$")
  if not a or (a == "" and b == "") then return nil end
  if a == "" then return "suffix", offset(b) end
  local first = offset(a)
  if b == "" then return "from", first end
  local last = offset(b)
  if last < first then return nil end
  return "span", first, last
end

local function set_get_range(r, env, size)
  local header = r.headers_in["Range"]
  if header == nil then
    env["XFER_START"], env["XFER_END"] = "0", tostring(size or 0)
    return apache2.OK
  end
  local kind, x, y = parse_range(header)
  if kind == nil then
    -- A Range header we do not serve is ignored (the whole file, 200), as
    -- HTTP allows; it must not reach diskrelay, which would answer 206.
    r.headers_in["Range"] = nil
    env["XFER_START"], env["XFER_END"] = "0", tostring(size or 0)
    return apache2.OK
  end
  if size == nil then
    -- No such file: hand diskrelay the range as asked, its open fails cleanly.
    local first = (kind == "suffix") and 0 or x
    local stop = (kind == "span" and y < HUGE) and y + 1 or first
    env["XFER_START"], env["XFER_END"] = tostring(first), tostring(stop)
    env["CONTENT_RANGE_HEADER"] = string.format("bytes %d-%d/*", first, math.max(stop - 1, first))
    return apache2.OK
  end
  local first, stop
  if kind == "suffix" then
    if x == 0 or size == 0 then first = nil else first, stop = math.max(size - x, 0), size end
  elseif x >= size then
    first = nil
  elseif kind == "from" then
    first, stop = x, size
  else
    first, stop = x, math.min(y, size - 1) + 1
  end
  if first == nil then
    env["RANGE_UNSATISFIABLE"] = "1"
    r.err_headers_out["Content-Range"] = "bytes */" .. size
    return apache2.OK
  end
  env["XFER_START"], env["XFER_END"] = tostring(first), tostring(stop)
  env["CONTENT_RANGE_HEADER"] = string.format("bytes %d-%d/%d", first, stop - 1, size)
  return apache2.OK
end

local function query_param(args, name)
  for k, v in ("&" .. (args or "")):gmatch("&([^&=]*)=([^&]*)") do
    if k == name then return v end
  end
  return nil
end

-- An upload names its offset by "Content-Range: bytes FIRST-LAST/TOTAL" (or
-- ".../*"), by the query parameter start=FIRST, or both when they agree.
-- With a Content-Range, a Content-Length must match the range's length.
local function set_post_offset(r, env)
  local from_query = query_param(r.args, "start")
  if from_query and not from_query:match("^%d+$") then
    r:info("chunk_vars: upload offset start= is not a decimal number")
    return 400
  end
  local cr = r.headers_in["Content-Range"]
  local first
  if cr then
    local a, b = cr:match("^%s*bytes%s+(%d+)%-(%d+)/[%d*]+%s*$")
    if not a then
      r:info("chunk_vars: unreadable Content-Range on upload: " .. cr)
      return 400
    end
    first = offset(a)
    local last = offset(b)
    local length = tonumber(r.headers_in["Content-Length"] or "")
    if last < first or (length and length ~= last - first + 1) then
      r:info("chunk_vars: upload length does not match its Content-Range: " .. cr)
      return 400
    end
  end
  if from_query then
    local q = offset(from_query)
    if first and q ~= first then
      r:info("chunk_vars: upload offsets of Content-Range and start= differ")
      return 400
    end
    first = q
  end
  if first == nil then
    r:info("chunk_vars: upload without an offset (Content-Range or start=)")
    return 400
  end
  env["XFER_START"] = tostring(first)
  return apache2.OK
end

function chunk_vars(r)
  local env = r.subprocess_env
  local dir = env["CHUNK_IMAGE_DIR"]
  if dir == nil or dir == "" then
    r:err("chunk_vars: CHUNK_IMAGE_DIR is not set for " .. r.uri)
    return 500
  end
  if r.method ~= "GET" and r.method ~= "POST" then
    return 405
  end
  local path = image_path(dir, r.path_info)
  if path == nil then
    r:info("chunk_vars: refused image path " .. tostring(r.path_info))
    return 404
  end
  if r.headers_in["X-OVRA-Xfer-Context"] == nil then
    r:info("chunk_vars: no X-OVRA-Xfer-Context header")
    return 400
  end
  if env["CHUNK_DEVICE_IN_PATH"] then
    local device = r.path_info:match("^/([^/]+)/")
    if device == nil then
      r:info("chunk_vars: no device folder in " .. r.path_info)
      return 404
    end
    -- The site sets this header from the client certificate alone; without it
    -- diskrelay would end without an answer.
    local presented = r.headers_in["SSL-Device-UUID"]
    if presented == nil or presented == "" then
      r:info("chunk_vars: no device id from a client certificate")
      return 403
    end
    env["EXPECTED_DEVICE_ID"] = device
  end
  env["XFER_CANON_PATH"] = path

  if r.method == "POST" then
    return set_post_offset(r, env)
  end
  local info = r:stat(path)
  if info ~= nil and info.filetype ~= 1 then
    return 404                                    -- a folder, a device, ...
  end
  return set_get_range(r, env, info and math.tointeger(info.size))
end
