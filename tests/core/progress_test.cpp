// The progress tracker's rules, against a recording stand-in for the window's controls.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/uProgress.h"

namespace zarvo {
namespace {

struct TRecorder : IProgressControls {
    std::vector<std::string> Calls;
    TProgressSnapshot Last;
    bool Start = true, Break = true, Close = true;
    bool RestartOn = false;
    int RestartMs = 0;
    int Displays = 0;

    void ShowControls(bool visible, TProgressFlags flags) override {
        Calls.push_back("show " + std::to_string(visible) + " " + std::to_string(flags));
    }
    void Display(const TProgressSnapshot& s) override {
        Last = s;
        ++Displays;
    }
    void SetStartEnabled(bool e) override { Start = e; }
    void SetBreakEnabled(bool e) override { Break = e; }
    void SetCloseEnabled(bool e) override { Close = e; }
    void SetRestartTimer(bool e, int ms) override {
        RestartOn = e;
        RestartMs = ms;
    }
    void CloseMainWindow() override { Calls.push_back("close"); }
};

class ProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        p.Now = [this] { return now; };
        p.SetControls(&controls);
        controls.SetBreakEnabled(false);
    }
    int64_t now = 1'000'000;
    TProgress p;
    TRecorder controls;
};

struct PercentCase {
    int64_t min, max, position, percent;
};
void PrintTo(const PercentCase& c, std::ostream* os) {
    *os << "min " << c.min << " max " << c.max << " position " << c.position;
}

class PercentTest : public ::testing::TestWithParam<PercentCase> {};

TEST_P(PercentTest, IsPositionShareOfRange) {
    const PercentCase c = GetParam();
    TProgress p;
    p.SetMax(c.max);
    p.SetMin(c.min);
    p.SetPosition(c.position);
    EXPECT_EQ(p.Percent(), c.percent);
}

INSTANTIATE_TEST_SUITE_P(Cases, PercentTest,
                         ::testing::Values(PercentCase{0, 0, 0, 0},       // empty range
                                           PercentCase{0, 200, 50, 25},   //
                                           PercentCase{10, 110, 60, 50},  // from Min
                                           PercentCase{0, 100, 150, 150}, // past Max: not clamped
                                           PercentCase{0, 3, 2, 66},      // integer division
                                           PercentCase{5, 5, 5, 0},       // Max == Min
                                           PercentCase{0, 1000000, 999999, 99},
                                           PercentCase{0, INT64_MAX / 2, INT64_MAX / 2, 100}));

TEST(ProgressRange, MaxBelowPositionLowersIt) {
    TProgress p;
    p.SetPosition(80);
    p.SetMax(50);
    EXPECT_EQ(p.Position(), 50);
    EXPECT_EQ(p.Max(), 50);
    p.SetMax(70); // raising Max leaves the position
    EXPECT_EQ(p.Position(), 50);
}

TEST(ProgressRange, MinAbovePositionRaisesIt) {
    TProgress p;
    p.SetPosition(3);
    p.SetMin(10);
    EXPECT_EQ(p.Position(), 10);
    p.SetMin(0);
    EXPECT_EQ(p.Position(), 10);
}

TEST(ProgressElapsed, Format) {
    EXPECT_EQ(TProgress::FormatElapsed(0), "0:00:00");
    EXPECT_EQ(TProgress::FormatElapsed(7'999), "0:00:07");
    EXPECT_EQ(TProgress::FormatElapsed(3'723'000), "1:02:03");
    EXPECT_EQ(TProgress::FormatElapsed(100LL * 3600 * 1000), "100:00:00");
}

TEST_F(ProgressTest, CreatedIdleAndTerminated) {
    EXPECT_TRUE(p.Terminated());
    EXPECT_EQ(p.UpdatePeriod(), 500);
    EXPECT_EQ(p.Max(), 100);
    EXPECT_EQ(p.Elapsed(), 0);
}

TEST_F(ProgressTest, StartRunsBeforeStartThenResetsAndFiresOnStart) {
    std::vector<std::string> events;
    p.BeforeStart = [&](TProgress&, bool& allow, bool& clearLog) {
        EXPECT_TRUE(allow);
        EXPECT_TRUE(clearLog);
        events.push_back("before");
    };
    p.OnStart = [&](TProgress& t) {
        EXPECT_FALSE(t.Terminated());
        events.push_back("start");
    };
    p.SetPosition(40);
    p.SetStatus("old");
    p.IncProcessed(3);
    p.StartButtonClick();
    EXPECT_EQ(events, (std::vector<std::string>{"before", "start"}));
    EXPECT_EQ(p.Position(), 0);
    EXPECT_EQ(p.Status(), "");
    EXPECT_EQ(p.Processed(), 0);
    EXPECT_EQ(p.StartTime(), now);
    EXPECT_EQ(p.EndTime(), 0);
    EXPECT_FALSE(controls.Start);
    EXPECT_TRUE(controls.Break);
    EXPECT_FALSE(controls.Close);
    EXPECT_TRUE(controls.Last.Running);
}

TEST_F(ProgressTest, RefusedStartChangesNothing) {
    bool started = false;
    p.BeforeStart = [](TProgress&, bool& allow, bool&) { allow = false; };
    p.OnStart = [&](TProgress&) { started = true; };
    p.SetPosition(40);
    p.SetStatus("kept");
    const int displays = controls.Displays;
    p.StartProgress();
    EXPECT_FALSE(started);
    EXPECT_TRUE(p.Terminated());
    EXPECT_EQ(p.Position(), 40);
    EXPECT_EQ(p.Status(), "kept");
    EXPECT_EQ(p.StartTime(), 0);
    EXPECT_EQ(controls.Displays, displays);
    EXPECT_TRUE(controls.Start);
    EXPECT_FALSE(controls.Break);
}

TEST_F(ProgressTest, BreakWhileRunningKeepsStartDisabledUntilEnd) {
    std::vector<std::string> events;
    p.OnBreakClicked = [&](TProgress&) { events.push_back("break"); };
    p.OnTerminate = [&](TProgress&) { events.push_back("terminate"); };
    p.AfterStop = [&](TProgress&) { events.push_back("after"); };
    p.StartProgress();
    p.BreakButtonClick();
    EXPECT_EQ(events, (std::vector<std::string>{"break", "terminate"}));
    EXPECT_TRUE(p.Terminated());
    EXPECT_FALSE(controls.Break);
    EXPECT_FALSE(controls.Start);
    EXPECT_EQ(p.EndTime(), 0);
    // A second click finds it terminated and does nothing more.
    p.BreakButtonClick();
    EXPECT_EQ(events, (std::vector<std::string>{"break", "terminate", "break"}));

    now += 2'500;
    p.EndProgress();
    EXPECT_EQ(events.back(), "after");
    EXPECT_TRUE(controls.Start);
    EXPECT_TRUE(controls.Close);
    EXPECT_FALSE(controls.Break);
    EXPECT_EQ(p.EndTime(), now);
    EXPECT_EQ(p.Elapsed(), 2);
}

TEST_F(ProgressTest, BreakWhenIdleFiresOnlyBreakClicked) {
    int terminates = 0, breaks = 0;
    p.OnTerminate = [&](TProgress&) { ++terminates; };
    p.OnBreakClicked = [&](TProgress&) { ++breaks; };
    p.BreakButtonClick();
    EXPECT_EQ(breaks, 1);
    EXPECT_EQ(terminates, 0);
}

TEST_F(ProgressTest, EndProgressOrder) {
    std::vector<std::string> events;
    p.OnStop = [&](TProgress& t) {
        EXPECT_EQ(t.EndTime(), 0);
        events.push_back("stop");
    };
    p.AfterStop = [&](TProgress& t) {
        EXPECT_TRUE(t.Terminated());
        EXPECT_NE(t.EndTime(), 0);
        events.push_back("after");
    };
    p.StartProgress();
    p.EndProgress();
    EXPECT_EQ(events, (std::vector<std::string>{"stop", "after"}));
    EXPECT_FALSE(controls.Last.Running);
}

TEST_F(ProgressTest, DisplaySnapshot) {
    p.StartProgress();
    p.SetMax(200);
    p.IncProgress(50);
    p.IncProcessed(7);
    p.IncProcessedGood(5);
    p.IncProcessedBad(2);
    p.SetStatus("Working");
    now += 3'723'000;
    p.Display();
    EXPECT_EQ(controls.Last.Percent, 25);
    EXPECT_EQ(controls.Last.Status, "Working");
    EXPECT_EQ(controls.Last.Processed, 7);
    EXPECT_EQ(controls.Last.ProcessedGood, 5);
    EXPECT_EQ(controls.Last.ProcessedBad, 2);
    EXPECT_EQ(controls.Last.ElapsedText, "1:02:03");
}

TEST_F(ProgressTest, TimerTickHonoursUpdatePeriod) {
    p.SetUpdatePeriod(1000);
    p.TimerTick();
    const int first = controls.Displays;
    now += 100;
    p.TimerTick();
    now += 800;
    p.TimerTick();
    EXPECT_EQ(controls.Displays, first);
    now += 100;
    p.TimerTick();
    EXPECT_EQ(controls.Displays, first + 1);
    p.SetUpdatePeriod(0); // every tick
    p.TimerTick();
    p.TimerTick();
    EXPECT_EQ(controls.Displays, first + 3);
}

TEST_F(ProgressTest, RestartWaitsThenStartsAgain) {
    int starts = 0;
    p.OnStart = [&](TProgress&) { ++starts; };
    p.SetRestartSeconds(3);
    p.StartProgress();
    p.EndProgress();
    EXPECT_EQ(p.Status(), "Waiting for restart...");
    EXPECT_TRUE(controls.RestartOn);
    EXPECT_EQ(controls.RestartMs, 3000);
    EXPECT_FALSE(controls.Start); // a restart is pending
    p.RestartTimerTick();
    EXPECT_FALSE(controls.RestartOn);
    EXPECT_EQ(starts, 2);
}

TEST_F(ProgressTest, BreakDuringRestartWaitStops) {
    p.SetRestartSeconds(3);
    p.StartProgress();
    p.EndProgress();
    p.BreakButtonClick();
    EXPECT_EQ(p.Status(), "Stopped.");
    EXPECT_FALSE(controls.RestartOn);
    EXPECT_EQ(p.RestartSeconds(), 0);
    EXPECT_FALSE(controls.Break);
}

TEST_F(ProgressTest, FlagsShowAndHideControls) {
    controls.Calls.clear();
    p.SetFlags(pfPBHidden | pfSBHide);
    p.StartProgress();
    p.EndProgress();
    EXPECT_EQ(controls.Calls, (std::vector<std::string>{"show 0 5", "show 1 5", "show 0 5"}));
    p.CloseButtonClick();
    EXPECT_EQ(controls.Calls.back(), "close");
}

} // namespace
} // namespace zarvo
