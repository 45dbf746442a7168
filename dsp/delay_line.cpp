#include "dsp/delay_line.hpp"

#include <algorithm>
#include <iterator>

namespace zq {

void DelayLine::reset()
{
    read_pos = 0.0f;
    write_index = 0;
    length = 0;
    glide_target = 0;
    pending_length = 0;
    gliding = false;
    speed = 1.0f;
    mod_depth = 1.0f;
    lfo_inc = 1.0f;
    lfo_phase = 0.0f;
    std::fill(std::begin(buffer), std::end(buffer), 0.0f);
}

} // namespace zq
