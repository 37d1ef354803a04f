#include "WaitBudget.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

// Steps on a clock of the test's own, in milliseconds from an arbitrary start.
TEST(WaitBudgetTest, LeavesNoMoreThanTheFrameAndTheLastSecondAllow) {
    enum class Op { Frame, Spend, Left };
    const struct {
        Op op;
        int at;
        int value; // Spend: the wait's end; Left: what is expected left
    } steps[] = {
        {Op::Left, 0, 50},       // a fresh budget: a frame's
        {Op::Spend, 0, 30},      //
        {Op::Left, 30, 20},      //
        {Op::Spend, 30, 50},     //
        {Op::Left, 50, 0},       // the frame's is spent
        {Op::Frame, 60, 0},      //
        {Op::Left, 60, 50},      // a new frame; 50 of the second's left
        {Op::Spend, 60, 100},    //
        {Op::Left, 100, 10},     //
        {Op::Frame, 120, 0},     //
        {Op::Left, 120, 10},     // the second's 100 ms are nearly spent
        {Op::Spend, 120, 130},   //
        {Op::Left, 130, 0},      //
        {Op::Frame, 1000, 0},    //
        {Op::Left, 1000, 0},     // a second later to the slot: never overstated
        {Op::Left, 1020, 20},    // the first 20 ms have left the window
        {Op::Left, 1140, 50},    // all of them have
        {Op::Frame, 2000, 0},    //
        {Op::Spend, 2000, 2050}, //
        {Op::Left, 2050, 0},     //
        {Op::Left, 3060, 50},    // no Tick for a second: the frame is over all the same
        {Op::Spend, 5000, 5500}, // the thread stalled half a second inside a wait
        {Op::Left, 5500, 0},     //
        {Op::Left, 6400, 0},     // its last 100 ms are still within the window
        {Op::Left, 6500, 50},    //
    };
    WaitBudget budget;
    const auto at = [](int ms) { return WaitBudget::Clock::time_point(10'000ms + std::chrono::milliseconds(ms)); };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.at);
        switch (step.op) {
        case Op::Frame:
            budget.NewFrame(at(step.at));
            break;
        case Op::Spend:
            budget.Spend(at(step.at), at(step.value));
            break;
        case Op::Left:
            EXPECT_EQ(budget.Left(at(step.at)), std::chrono::milliseconds(step.value));
            break;
        }
    }
}
