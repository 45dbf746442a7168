-- Headless Ardour session driven by ardour7-lua for the host test.
--
-- Builds a 44.1 kHz session on the "None (Dummy)" backend with one mono
-- audio track:  test clicks (Lua DSP) -> the LV2 plug-in -> probe (Lua DSP),
-- loads a factory preset by label, automates two controls, rolls the
-- transport in real time, then exports the master bus to a float WAV.
--
-- Everything comes in through environment variables (set by test_ardour.sh):
--   ZQ_URI             plug-in URI
--   ZQ_SESSION_DIR     new session folder (must not exist)
--   ZQ_EXPORT_DIR      folder for the exported WAV
--   ZQ_PRESET_LABEL    rdfs:label of the preset to load
--   ZQ_PRESET_VALUES   "PORTINDEX=VALUE ..." the preset must produce
--   ZQ_AUTO_A, ZQ_AUTO_B  port indices of the two automated controls
--   ZQ_EXPORT_SECONDS  length of the export
--
-- Result lines for the shell script: "ZQ-INFO ...", "ZQ-FAIL reason",
-- "ZQ-SKIP reason" and, only when every check passed, "ZQ-PASS".

io.stdout:setvbuf ("no")

local failed = false
local function info (...) print ("ZQ-INFO", ...) end
local function fail (msg) print ("ZQ-FAIL " .. msg); failed = true end

local function env (name)
	local v = os.getenv (name)
	if v == nil or v == "" then error ("environment variable " .. name .. " is not set") end
	return v
end

local RATE = 44100
local uri = env ("ZQ_URI")
local session_dir = env ("ZQ_SESSION_DIR")
local export_dir = env ("ZQ_EXPORT_DIR")
local preset_label = env ("ZQ_PRESET_LABEL")
local auto_a = tonumber (env ("ZQ_AUTO_A"))
local auto_b = tonumber (env ("ZQ_AUTO_B"))
local export_seconds = tonumber (env ("ZQ_EXPORT_SECONDS"))
local FLOAT_PRESET = "0d6e2f4a-9c1b-4e8f-a7d3-5b2c1e0f9a8b" -- export/zq-float.preset

local expected = {}
for idx, val in string.gmatch (env ("ZQ_PRESET_VALUES"), "(%d+)=([-+%deE.]+)") do
	expected[tonumber (idx)] = tonumber (val)
end

-- 1. engine and session --------------------------------------------------------
local backend = AudioEngine:set_backend ("None (Dummy)", "", "")
if backend == nil or backend:isnil () then
	print ("ZQ-SKIP the 'None (Dummy)' audio backend is not available in this Ardour build")
	return
end

local s = create_session (session_dir, "zq-host-test", RATE)
if s == nil or Session == nil then
	print ("ZQ-SKIP Ardour could not create a session with the dummy backend")
	return
end
info ("session rate", Session:nominal_sample_rate (), "engine block", Session:get_block_size ())
if Session:nominal_sample_rate () ~= RATE then
	fail ("session runs at " .. Session:nominal_sample_rate () .. " Hz, not " .. RATE)
end

-- 2. track and processors ----------------------------------------------------------
local tl = Session:new_audio_track (1, 2, nil, 1, "Quorvel", -1, ARDOUR.TrackMode.Normal, true)
if tl:size () ~= 1 then fail ("could not create the audio track"); close_session (); return end
local tr = tl:front ()
-- play from disk (nothing there): the only signal is the click processor,
-- whatever the dummy backend feeds to the track input
tr:monitoring_control ():set_value (ARDOUR.MonitorChoice.MonitorDisk, PBD.GroupControlDisposition.NoGroup)

local gen = ARDOUR.LuaAPI.new_plugin (Session, "ZQ test clicks", ARDOUR.PluginType.Lua, "")
local plug_proc = ARDOUR.LuaAPI.new_plugin (Session, uri, ARDOUR.PluginType.LV2, "")
local probe = ARDOUR.LuaAPI.new_plugin (Session, "ZQ test probe", ARDOUR.PluginType.Lua, "")
if gen:isnil () or probe:isnil () then
	fail ("the helper Lua DSP scripts were not found (ardour/scripts not installed in the config dir?)")
	close_session (); return
end
if plug_proc:isnil () then
	fail ("Ardour cannot load LV2 plug-in " .. uri)
	close_session (); return
end
if tr:add_processor_by_index (gen, 0, nil, true) ~= 0
	or tr:add_processor_by_index (plug_proc, 1, nil, true) ~= 0
	or tr:add_processor_by_index (probe, 2, nil, true) ~= 0 then
	fail ("could not insert the processors into the track")
	close_session (); return
end
local pi = plug_proc:to_insert ()
local plug = pi:plugin (0)
info ("plug-in", plug:name (), "in", pi:input_streams ():n_audio (), "out", pi:output_streams ():n_audio ())
info ("plug-in path", plug:get_info ().path)
if tr:nth_plugin (1):to_insert ():plugin (0):unique_id () ~= uri then
	fail ("the plug-in is not the second processor of the track")
end
if pi:input_streams ():n_audio () ~= 1 or pi:output_streams ():n_audio () ~= 2 then
	fail ("the plug-in is not configured mono in, stereo out")
end

-- control parameter number <-> LV2 port index
local param_of_port = {}
for n = 0, plug:parameter_count () - 1 do
	local pid, ok = plug:nth_parameter (n, true)
	if ok[2] and plug:parameter_is_control (pid) and plug:parameter_is_input (pid) then
		param_of_port[pid] = n
	end
end
local function port_value (port)
	local n = param_of_port[port]
	if n == nil then return nil end
	return ARDOUR.LuaAPI.get_processor_param (plug_proc, n, true)
end

-- 3. preset by label ----------------------------------------------------------------
local pr = plug:preset_by_label (preset_label)
if pr == nil or pr.uri == "" then
	fail ("Ardour does not list a preset labelled '" .. preset_label .. "'")
else
	info ("preset", pr.label, pr.uri)
	if not plug:load_preset (pr) then fail ("load_preset('" .. preset_label .. "') returned false") end
	local nchecked = 0
	for port, want in pairs (expected) do
		local got = port_value (port)
		nchecked = nchecked + 1
		if got == nil then
			fail ("preset sets port " .. port .. " which Ardour does not expose as a control")
		elseif math.abs (got - want) > 1e-4 * math.max (1, math.abs (want)) then
			fail (string.format ("after the preset port %d is %g, the preset says %g", port, got, want))
		end
	end
	if nchecked == 0 then fail ("no preset values to check") end
	info ("preset values checked", nchecked)
end

-- 4. automation of two controls -------------------------------------------------------
local function automate (port, points)
	local n = param_of_port[port]
	if n == nil then fail ("port " .. port .. " is not an input control"); return nil end
	local al, cl, pd = ARDOUR.LuaAPI.plugin_automation (plug_proc, n)
	if al:isnil () then fail ("no automation list for port " .. port); return nil end
	cl:clear_list ()
	for _, p in ipairs (points) do
		cl:add (Temporal.timepos_t (math.floor (p[1] * RATE)), p[2], false, true)
	end
	local ac = pi:to_automatable ():automation_control (
		Evoral.Parameter (ARDOUR.AutomationType.PluginAutomation, 0, port), false)
	if ac:isnil () then fail ("no automation control for port " .. port); return nil end
	ac:set_automation_state (ARDOUR.AutoState.Play)
	if ac:automation_state () ~= ARDOUR.AutoState.Play then fail ("automation of port " .. port .. " is not in Play mode") end
	info ("automated port", port, "points", cl:size ())
	return cl
end
-- port A (feedback): steady rise over the real-time roll, then down and up;
-- port B (delay time): long sweep up, then back
local cl_a = automate (auto_a, { { 0, 10 }, { 2.0, 90 }, { 3.0, 5 }, { 3.5, 60 } })
local cl_b = automate (auto_b, { { 0, 30 }, { 1.5, 400 }, { 2.5, 120 }, { 3.5, 250 } })

-- 5. roll in real time; the controls must follow their automation ----------------------------
local function check_follows (tag)
	if cl_a == nil then return nil end
	local pos = Session:transport_sample ()
	local got = port_value (auto_a)
	local want = cl_a:eval (Temporal.timepos_t (pos))
	info (tag, "transport", pos, "automated control", got, "curve", want)
	-- one 1024-frame cycle of the steepest ramp moves it by about 1.4
	if got == nil or math.abs (got - want) > 5 then
		fail (string.format ("%s: control is %s but its automation says %g at frame %d", tag, tostring (got), want, pos))
	end
	return got
end

Session:goto_start (false)
ARDOUR.LuaAPI.usleep (200000)
Session:request_roll (ARDOUR.TransportRequestSource.TRS_UI)
ARDOUR.LuaAPI.usleep (600000)
local v1 = check_follows ("roll 0.6 s")
ARDOUR.LuaAPI.usleep (800000)
local v2 = check_follows ("roll 1.4 s")
Session:request_stop (false, false, ARDOUR.TransportRequestSource.TRS_UI)
ARDOUR.LuaAPI.usleep (300000)
local rolled = Session:transport_sample ()
info ("transport stopped at", rolled)
if rolled < RATE / 2 then fail ("the transport did not roll (stopped at frame " .. rolled .. ")") end
-- the curve rises by 40 per second and the reads are 0.8 s apart; allow for
-- a transport that lags on a loaded machine
if v1 ~= nil and v2 ~= nil and v2 - v1 < 3 then
	fail ("the automated control did not move while rolling")
end

-- 6. export the master bus (freewheeling) -------------------------------------------------
local sh = probe:to_insert ():plugin (0):to_luaproc ():shmem ():to_float (0):array ()
local frames_before = sh[3]
local e = Session:simple_export ()
e:set_name ("zq-host-test")
e:set_folder (export_dir)
e:set_range (0, math.floor (export_seconds * RATE))
if not e:set_preset (FLOAT_PRESET) then
	fail ("the float WAV export preset is not known to Ardour")
elseif not e:check_outputs () then
	fail ("the session has no outputs to export")
elseif not e:run_export () then
	fail ("export failed")
end
info ("probe after export: non-finite", sh[1], "peak", sh[2], "frames", sh[3], "smallest block", sh[4], "largest block", sh[5])
if sh[1] ~= 0 then fail ("the plug-in produced " .. sh[1] .. " non-finite samples") end
if sh[2] <= 0 then fail ("the plug-in output stayed silent") end
if sh[3] - frames_before < export_seconds * RATE then fail ("the probe saw fewer frames than the export range") end

close_session ()
if not failed then print ("ZQ-PASS") end
