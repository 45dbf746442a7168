// The delay line: its mirrored store, the cubic read, the LFO and the glide.

#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "dsp/delay_line.hpp"

namespace zq {
namespace {

std::unique_ptr<DelayLine> make_line()
{
    auto line = std::make_unique<DelayLine>();
    line->reset();
    return line;
}

// Puts the line in steady state at `length` with the write index at `w`:
// the read position sits at w − L + 1 at the top of a sample.
void settle(DelayLine& line, std::uint64_t w, std::uint64_t length)
{
    line.write_index = w;
    line.length = length;
    line.read_pos = static_cast<float>((w + DelayLine::kSlots - length + 1) % DelayLine::kSlots);
}

// One sample's worth of line traffic, in the voice's order.
void step(DelayLine& line)
{
    line.write_sample(0.0f);
    line.advance();
}

TEST(DelayLine, WritesMirrorTheFirstFiveSlots)
{
    auto line = make_line();
    line->write_index = 4;
    line->write_sample(3.0f);
    EXPECT_EQ(line->buffer[4], 3.0f);
    EXPECT_EQ(line->buffer[24004], 3.0f);
    line->write_sample(5.0f);
    EXPECT_EQ(line->buffer[5], 5.0f);
    for (std::uint64_t i = 24000; i < 24004; ++i) {
        EXPECT_EQ(line->buffer[i], 0.0f) << i;
    }
    line->write_index = 23999;
    line->write_sample(7.0f);
    EXPECT_EQ(line->buffer[23999], 7.0f);
    EXPECT_EQ(line->write_index, 0u);
}

TEST(DelayLine, CubicReadAcrossTheEnd)
{
    auto line = make_line();
    line->write_index = 23999;
    for (float v : {0.0f, 1.0f, 2.0f, 0.0f}) { // slots 23999, 0, 1, 2
        line->write_sample(v);
    }
    // Halfway between slot 0 and slot 1: (−y0 + 9·y1 + 9·y2 − y3) / 16.
    EXPECT_EQ(line->read_cubic(23999.5f), 27.0f / 16.0f);
    EXPECT_EQ(line->read_cubic(24001.0f), 0.0f) << "slot 24002 mirrors slot 2";
}

TEST(DelayLine, IntegralReadReturnsTheNextSlotExactly)
{
    auto line = make_line();
    for (std::uint64_t i = 0; i < DelayLine::kSlots; ++i) {
        line->write_sample(std::sin(0.37f * static_cast<float>(i)) + 2.0f);
    }
    for (std::uint64_t n : {0u, 1u, 17u, 12345u, 23998u, 23999u, 24000u, 24001u}) {
        EXPECT_EQ(line->read_cubic(static_cast<float>(n)), line->buffer[n + 1]) << n;
    }
}

TEST(DelayLine, LfoAlternatesWithoutDrift)
{
    auto line = make_line();
    for (int i = 0; i < 10000; ++i) {
        ASSERT_EQ(line->step_lfo(), i % 2 == 0 ? -1.0f : 0.0f) << i;
    }
    line->read_pos = 10.0f;
    EXPECT_EQ(line->tap_base(0.0f), 12.0f);
    EXPECT_EQ(line->tap_base(-1.0f), 13.0f);
}

TEST(DelayLine, LengtheningGlideRunsAtSlowSpeedAndLandsExactly)
{
    auto line = make_line();
    settle(*line, 500, 100);
    line->pending_length = 200;
    const float r0 = line->read_pos;
    step(*line);
    EXPECT_TRUE(line->gliding);
    EXPECT_EQ(line->speed, 0.7f);
    EXPECT_EQ(line->read_pos, r0 + 0.7f) << "the first sample already moves at 0.7";
    EXPECT_EQ(line->length, 100u) << "taking up a request measures nothing";
    int samples = 1;
    std::uint64_t last = line->length;
    while (line->gliding) {
        const float before = line->read_pos;
        step(*line);
        ++samples;
        ASSERT_LE(line->length, 200u) << "never overshoots";
        ASSERT_LE(line->length - last, 1u) << "moves at most one slot per sample";
        last = line->length;
        if (!line->gliding) {
            EXPECT_EQ(line->read_pos, before + 1.0f) << "the last sample already moves at 1.0";
        }
        ASSERT_LT(samples, 1000);
    }
    EXPECT_EQ(line->length, 200u);
    EXPECT_EQ(line->speed, 1.0f);
    EXPECT_NEAR(samples, 100 / 0.3, 3);
    // Steady state afterwards: read at w − L + 1 + f.
    const double offset = line->read_pos - (static_cast<double>(line->write_index) - 200.0 + 1.0);
    EXPECT_GE(offset, 0.0);
    EXPECT_LT(offset, 1.0);
}

TEST(DelayLine, ShorteningGlideRunsAtFastSpeed)
{
    auto line = make_line();
    settle(*line, 10, 1000); // the read position sits a lap behind, past the end
    line->pending_length = 600;
    int samples = 0;
    do {
        step(*line);
        ++samples;
        if (samples == 1) {
            EXPECT_EQ(line->speed, 1.4f);
        }
    } while (line->gliding && samples < 5000);
    EXPECT_EQ(line->length, 600u);
    EXPECT_NEAR(samples, 400 / 0.4, 3);
}

// The staged voice reads a chunk of a glide at read_pos + i g, g being the
// first step, wherever the 16 steps stay in one binade. Every start on the
// line, at both speeds, with fractions of every kind.
TEST(DelayLine, GlideStepsWithinABinadeAreEvenToTheBit)
{
    auto line = make_line();
    int even_runs = 0;
    for (const float speed : {DelayLine::kSlowSpeed, DelayLine::kFastSpeed}) {
        for (float start = 0.0f; start < static_cast<float>(DelayLine::kSlots); start = start * 1.0001f + 0.37f) {
            const float g = (start + speed) - start;
            const float end = start + 16.0f * g;
            if (!(end < static_cast<float>(DelayLine::kSlots) && std::ilogb(start) == std::ilogb(end))) {
                continue;
            }
            line->read_pos = start;
            line->gliding = true;
            line->speed = speed;
            line->glide_target = 0; // a distance never measured: the glide goes on
            for (int i = 1; i <= 16; ++i) {
                line->advance();
                ASSERT_EQ(line->read_pos, start + static_cast<float>(i) * g) << start << " at " << speed << ", step " << i;
            }
            ++even_runs;
        }
    }
    EXPECT_GT(even_runs, 20000);
}

TEST(DelayLine, RequestDuringAGlideWaitsForItsEnd)
{
    auto line = make_line();
    settle(*line, 3000, 100);
    line->pending_length = 130;
    step(*line);
    ASSERT_TRUE(line->gliding);
    line->pending_length = 90; // arrives mid-glide; the glide is not redirected
    while (line->gliding) {
        step(*line);
    }
    EXPECT_EQ(line->length, 130u);
    EXPECT_EQ(line->pending_length, 90u);
    step(*line); // the next advance takes it up
    EXPECT_TRUE(line->gliding);
    EXPECT_EQ(line->glide_target, 90u);
    EXPECT_EQ(line->speed, 1.4f);
    EXPECT_EQ(line->pending_length, 0u);
}

TEST(DelayLine, RequestEqualToLengthGlidesFastAndEndsAtOnce)
{
    auto line = make_line();
    settle(*line, 800, 300);
    line->pending_length = 300;
    step(*line);
    EXPECT_EQ(line->speed, 1.4f);
    step(*line); // the check still measures 300
    EXPECT_FALSE(line->gliding);
    EXPECT_EQ(line->length, 300u);
}

TEST(DelayLine, ReadPositionOnTheWriteIndexMeasuresAFullLap)
{
    auto line = make_line();
    line->gliding = true;
    line->glide_target = 5;
    line->write_index = 99;
    line->read_pos = 100.25f; // the write below advances the index to 100
    step(*line);
    EXPECT_EQ(line->length, 24000u);
    EXPECT_TRUE(line->gliding);
}

TEST(DelayLine, StartsByOpeningUpToTheDefaultLength)
{
    auto line = make_line();
    line->pending_length = 5760;
    int samples = 0;
    do {
        step(*line);
        ++samples;
    } while (line->gliding && samples < 30000);
    EXPECT_EQ(line->length, 5760u);
    EXPECT_NEAR(samples, 19200, 5);
}

} // namespace
} // namespace zq
