#pragma once

// Marks the inline functions of the per-sample voice. Every instruction-set
// build of the voice (dsp/voice_<isa>.cpp) compiles its own copy of them and
// must leave none out of line: an out-of-line copy would be a weak symbol,
// and the linker could keep the AVX-512 build's copy for every caller, the
// baseline build's too. Always inlined, they are nowhere a symbol.
#define ZQ_VOICE_INLINE [[gnu::always_inline]] inline
