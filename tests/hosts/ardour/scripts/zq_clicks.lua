ardour {
	["type"]    = "dsp",
	name        = "ZQ test clicks",
	category    = "Utility",
	license     = "MIT",
	author      = "host test",
	description = [[Deterministic test source for the host test: a 0.5 click every 0.2 s plus a decaying 440 Hz burst every second; the input is ignored.]]
}

function dsp_ioconfig ()
	return { { audio_in = 1, audio_out = 1 } }
end

local pos = 0
local rate = 44100

function dsp_init (r)
	rate = r
end

function dsp_run (ins, outs, n_samples)
	local o = outs[1]:array ()
	local click = math.floor (rate / 5)
	for i = 1, n_samples do
		local v = 0
		if pos % click == 0 then v = 0.5 end
		local t = pos % rate
		if t < rate / 10 then
			v = v + 0.25 * math.sin (2 * math.pi * 440 * t / rate) * (1 - 10 * t / rate)
		end
		o[i] = v
		pos = pos + 1
	end
end
