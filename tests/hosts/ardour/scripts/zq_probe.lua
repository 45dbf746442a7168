ardour {
	["type"]    = "dsp",
	name        = "ZQ test probe",
	category    = "Utility",
	license     = "MIT",
	author      = "host test",
	description = [[Stereo pass-through that counts what flows through it, for the host test: shared memory floats 1 = non-finite samples, 2 = peak, 3 = frames, 4 = smallest and 5 = largest block.]]
}

function dsp_ioconfig ()
	return { { audio_in = 2, audio_out = 2 } }
end

function dsp_init (rate)
	self:shmem ():allocate (8)
	self:shmem ():clear ()
	local sh = self:shmem ():to_float (0):array ()
	sh[4] = 1e9
end

function dsp_run (ins, outs, n_samples)
	local sh = self:shmem ():to_float (0):array ()
	for c = 1, 2 do
		local x = ins[c]:array ()
		for i = 1, n_samples do
			local v = x[i]
			if v ~= v or v == math.huge or v == -math.huge then
				sh[1] = sh[1] + 1
			else
				local a = math.abs (v)
				if a > sh[2] then sh[2] = a end
			end
		end
		if ins[c] ~= outs[c] then
			ARDOUR.DSP.copy_vector (outs[c], ins[c], n_samples)
		end
	end
	sh[3] = sh[3] + n_samples
	if n_samples < sh[4] then sh[4] = n_samples end
	if n_samples > sh[5] then sh[5] = n_samples end
end
