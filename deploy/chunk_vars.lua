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
--   XFER_UPLOAD_END       one past the last byte a POST may write: the end of
--                         its Content-Range or Content-Length, else the
--                         maximum image size
--   XFER_UPLOAD_EXACT     when a Content-Range names the end: the body must
--                         fill the range (a chunked body has no length to
--                         check beforehand)
--
-- The image folder comes from CHUNK_IMAGE_DIR, the largest image an upload may
-- make from CHUNK_MAX_IMAGE_SIZE, both set for the location with SetEnvIfExpr
-- (which runs before this phase, whatever the module order).
-- Where CHUNK_DEVICE_IN_PATH is set the same way, the URL's first segment
-- below the location names the device the image belongs to (and is its folder
-- below the image folder). chunk_device, run in the access phase before
-- anything about the file is looked at, refuses a request whose certificate
-- is not that device's, and sets EXPECTED_DEVICE_ID, so diskrelay checks it
-- once more.
-- Requests that cannot be served are refused here with a status and a one-line
-- text saying why (logged once at warn level), so diskrelay only ever sees a
-- complete, consistent set of variables. A HEAD is answered here: the image's
-- size, with no admission slot taken.

-- Offsets up to 18 digits fit a 64-bit integer; longer ones are treated as
-- "larger than any file", never wrapped.
local HUGE = math.maxinteger
-- Used when the location sets no CHUNK_MAX_IMAGE_SIZE: 2 TiB.
local DEFAULT_MAX_IMAGE_SIZE = 2199023255552
local ALLOWED_METHODS = "GET, HEAD, POST"
-- apr_stat's APR_FINFO_LINK | APR_FINFO_MIN: the link itself, not its target.
local FINFO_LSTAT = 0x00008171
local APR_REG, APR_LNK = 1, 6

-- Leading zeros count for nothing (RFC 9110 numbers are digit strings).
local function offset(digits)
  digits = digits:match("^0*(%d*)$")
  if digits == "" then return 0 end
  if #digits > 18 then return HUGE end
  return math.tointeger(tonumber(digits))
end

-- Ends the request here with status and a one-line text for the client;
-- the reason goes to the error log once, at warn level, when log is set.
local function answer(r, status, text, log)
  -- The URL as it came: decoded, it could carry line ends into the log.
  if log then r:warn("chunk_vars: " .. text .. ": " .. r.method .. " " .. r.unparsed_uri) end
  r.status = status
  r.content_type = "text/plain; charset=us-ascii"
  if status == 405 then r.headers_out["Allow"] = ALLOWED_METHODS end
  local length = r.headers_in["Content-Length"]
  if r.headers_in["Transfer-Encoding"] or (length and length ~= "0") then
    -- The body is not wanted: close the connection after the answer, and
    -- send the answer now, instead of reading a whole chunk (or waiting for
    -- a client that waits for us) only to throw it away.
    r.subprocess_env["nokeepalive"] = "1"
  end
  r.headers_out["Content-Length"] = tostring(#text + 1)
  r:puts(text .. "\n")
  r:flush()
  return apache2.DONE
end

local function refuse(r, status, text)
  return answer(r, status, text, true)
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
  if header ~= nil and r.headers_in["If-Range"] ~= nil then
    -- diskrelay sends no validator (ETag, Last-Modified), so no If-Range
    -- can match: the whole file (RFC 9110, 13.1.5).
    r.headers_in["Range"] = nil
    header = nil
  end
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
-- XFER_UPLOAD_END bounds what diskrelay may write, whatever the transfer coding:
-- a body longer than its Content-Range, or one that would grow the image past
-- the maximum, fails there instead of landing outside its range.
local function set_post_offset(r, env, max_size)
  local from_query = query_param(r.args, "start")
  if from_query and not from_query:match("^%d+$") then
    return refuse(r, 400, "upload offset start= is not a decimal number")
  end
  local cr = r.headers_in["Content-Range"]
  local length_text = r.headers_in["Content-Length"]
  local length = length_text and length_text:match("^%d+$") and offset(length_text)
  local first, stop
  if cr then
    local a, b = cr:match("^%s*bytes%s+(%d+)%-(%d+)/[%d*]+%s*$")
    if not a then
      return refuse(r, 400, "unreadable Content-Range on upload")
    end
    first = offset(a)
    local last = offset(b)
    if last < first or (length and length ~= last - first + 1) then
      return refuse(r, 400, "upload length does not match its Content-Range")
    end
    stop = (last < HUGE) and last + 1 or HUGE
  end
  if from_query then
    local q = offset(from_query)
    if first and q ~= first then
      return refuse(r, 400, "upload offsets of Content-Range and start= differ")
    end
    first = q
  end
  if first == nil then
    return refuse(r, 400, "upload without an offset (Content-Range or start=)")
  end
  if length and stop == nil then
    stop = (first <= HUGE - length) and first + length or HUGE
  end
  if first >= max_size or (stop or first) > max_size then
    return refuse(r, 413, "upload would end past the maximum image size of " .. max_size .. " bytes")
  end
  env["XFER_START"] = tostring(first)
  env["XFER_UPLOAD_END"] = tostring(stop or max_size)
  if cr then
    env["XFER_UPLOAD_EXACT"] = "1"
  end
  return apache2.OK
end

-- The file status of path (nil when it does not exist), refusing the request
-- when path or a folder on its way below the image folder is a symbolic link:
-- no transfer may leave the folder, nor learn what lies outside it.
-- diskrelay opens the file the same way, so a link made after this look
-- cannot be followed either.
local function image_status(r, dir, rel)
  local info
  local at = dir
  for seg in rel:gmatch("[^/]+") do
    at = at .. "/" .. seg
    info = r:stat(at, FINFO_LSTAT)
    if info == nil then return nil end
    if info.filetype == APR_LNK then
      return nil, refuse(r, 404, "symbolic links in the image folder are not followed")
    end
  end
  return info
end

function chunk_vars(r)
  local env = r.subprocess_env
  local dir = env["CHUNK_IMAGE_DIR"]
  if dir == nil or dir == "" then
    r:err("chunk_vars: CHUNK_IMAGE_DIR is not set for " .. r.uri)
    return 500
  end
  if r.method ~= "GET" and r.method ~= "HEAD" and r.method ~= "POST" then
    return refuse(r, 405, "method " .. r.method .. " not allowed (" .. ALLOWED_METHODS .. ")")
  end
  local path = image_path(dir, r.path_info)
  if path == nil then
    return refuse(r, 404, "not an image path (plain names: letters, digits, ._+-)")
  end
  if env["CHUNK_DEVICE_IN_PATH"] and env["EXPECTED_DEVICE_ID"] == nil then
    -- chunk_device did not run: refuse rather than serve unchecked.
    r:err("chunk_vars: chunk_device is not hooked for " .. r.unparsed_uri)
    return 500
  end
  -- A HEAD takes no slot, so it needs no transfer context.
  if r.method ~= "HEAD" and r.headers_in["X-OVRA-Xfer-Context"] == nil then
    return refuse(r, 400, "no X-OVRA-Xfer-Context header")
  end
  env["XFER_CANON_PATH"] = path

  local info, refused = image_status(r, dir, r.path_info)
  if refused then return refused end
  if r.method == "POST" then
    if info ~= nil and info.filetype ~= APR_REG then
      return refuse(r, 404, "not an image file")
    end
    local max_text = env["CHUNK_MAX_IMAGE_SIZE"] or tostring(DEFAULT_MAX_IMAGE_SIZE)
    if not max_text:match("^%d+$") then
      r:err("chunk_vars: CHUNK_MAX_IMAGE_SIZE is not a number of bytes: " .. max_text)
      return 500
    end
    return set_post_offset(r, env, offset(max_text))
  end
  if info ~= nil and info.filetype ~= APR_REG then
    return refuse(r, 404, "not an image file")   -- a folder, a device, ...
  end
  if r.method == "HEAD" then
    if info == nil then return answer(r, 404, "no such image", false) end
    r.status = 200
    r.content_type = "application/octet-stream"
    r.headers_out["Accept-Ranges"] = "bytes"
    r.headers_out["Content-Length"] = tostring(math.tointeger(info.size))
    return apache2.DONE
  end
  return set_get_range(r, env, info and math.tointeger(info.size))
end

-- Access phase (before authorisation, so that a request without a device
-- certificate is told why): where CHUNK_DEVICE_IN_PATH is set, the device in
-- the URL must be the one whose certificate the client presented. Runs before
-- anything about the file is looked at, so another device learns nothing of
-- its images, not even whether they exist.
function chunk_device(r)
  local env = r.subprocess_env
  if not env["CHUNK_DEVICE_IN_PATH"] then return apache2.DECLINED end
  -- The site sets this header from the client certificate alone.
  local presented = r.headers_in["SSL-Device-UUID"]
  if presented == nil or presented == "" then
    return refuse(r, 403, "a client certificate with a device id is required")
  end
  local device = (r.path_info or ""):match("^/([^/]+)/")
  if device == nil then
    return refuse(r, 404, "no device folder in the URL")
  end
  if device ~= presented then
    return refuse(r, 403, "the client certificate is not that of the device in the URL")
  end
  env["EXPECTED_DEVICE_ID"] = device
  return apache2.OK
end
