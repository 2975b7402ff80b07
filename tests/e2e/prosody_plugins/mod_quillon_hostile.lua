-- Test only: a hostile server for the sealed-stream tests. Once, it changes
-- one in-band bytestream block that one user's driver sends: either one byte
-- of it ("alter"), or its whole content replaced by the block that user sent
-- before it ("replay"), keeping the stanza's sequence number so that only the
-- drivers' sealing can notice. Options (global section):
--   quillon_hostile_mode   "alter" or "replay"
--   quillon_hostile_from   the sending user's node ("bob")
--   quillon_hostile_after  which of that user's blocks to change (1 = first)
local base64 = require "util.encodings".base64;

local ibb = "http://jabber.org/protocol/ibb";
local mode = module:get_option_string("quillon_hostile_mode", "alter");
local from_node = module:get_option_string("quillon_hostile_from", "bob");
local after = module:get_option_number("quillon_hostile_after", 20);

local seen = 0;
local done = false;
local previous = nil;

module:hook("pre-iq/full", function(event)
	local stanza, origin = event.stanza, event.origin;
	if done or stanza.attr.type ~= "set" or not origin or origin.username ~= from_node then
		return;
	end
	local data = stanza:get_child("data", ibb);
	if not data then
		return;
	end
	seen = seen + 1;
	local text = data:get_text() or "";
	if seen < after then
		previous = text;
		return;
	end
	local changed;
	if mode == "replay" then
		changed = previous;
	else
		local block = base64.decode(text);
		local at = math.floor(#block / 2) + 1;
		changed = base64.encode(block:sub(1, at - 1) .. string.char((block:byte(at) + 1) % 256)
			.. block:sub(at + 1));
	end
	if not changed then
		return;
	end
	for i = #data, 1, -1 do
		if type(data[i]) == "string" then
			table.remove(data, i);
		end
	end
	table.insert(data, changed);
	done = true;
	module:log("warn", "quillon_hostile: %s block %d (seq %s) from %s", mode, seen,
		tostring(data.attr.seq), tostring(stanza.attr.from));
end, 100);
