// The device line of the stream's part headers and its effect on the control.
#include <gtest/gtest.h>

#include "control/quorlina.h"
#include "stream/device_line.h"

using namespace stream;

TEST(DeviceLine, FullLineGivesClockStatesAndPosition) {
    DeviceLine l = ParseDeviceLine("Date: 2005-08-08 08:46:01 O_00001011 PT_120_045");
    EXPECT_TRUE(l.clock_complete);
    EXPECT_EQ(l.year, 2005);
    EXPECT_EQ(l.month, 8);
    EXPECT_EQ(l.day, 8);
    EXPECT_EQ(l.hour, 8);
    EXPECT_EQ(l.minute, 46);
    EXPECT_EQ(l.second, 1);
    EXPECT_EQ(l.email, 1);
    EXPECT_EQ(l.upload, 0);
    EXPECT_EQ(l.out2, 1);
    EXPECT_EQ(l.out1, 1);
    EXPECT_EQ(l.pan, 120);
    EXPECT_EQ(l.tilt, 45);
}

TEST(DeviceLine, MissingSeparatorStopsTheParseThere) {
    struct Row {
        const char* text;
        bool clock, states, pan, tilt;
    };
    const Row rows[] = {
        {"Date: 2005-08-08 08:46", false, false, false, false},
        {"Date: 2005-08-08 08:46:01 nothing", true, false, false, false},
        {"Date: 2005-08-08 08:46:01 O_0000", true, false, false, false},
        {"Date: 2005-08-08 08:46:01 O_00000000 PT_120", true, true, false, false},
        {"Date: 2005-08-08 08:46:01 O_00000000 PT_120_", true, true, true, false},
        {"Date: 2005-08-08 08:46:01 O_00000000 PT_1234_5", true, true, false, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.text);
        DeviceLine l = ParseDeviceLine(r.text);
        EXPECT_EQ(l.clock_complete, r.clock);
        EXPECT_EQ(l.has_states, r.states);
        EXPECT_EQ(l.has_pan, r.pan);
        EXPECT_EQ(l.has_tilt, r.tilt);
    }
    EXPECT_TRUE(ParseDeviceLine("Date: 1-1-1 1:1:1 O_00000000 PT_9").pan_tilt_separator_missing);
}

TEST(DeviceLine, ClockFieldsOfThreeOrMoreCharactersAreNotTaken) {
    DeviceLine l = ParseDeviceLine("Date: 2005-123-08 08:46:01 ");
    EXPECT_TRUE(l.has_year);
    EXPECT_FALSE(l.has_month);
    EXPECT_TRUE(l.has_day);
    EXPECT_TRUE(l.clock_complete);
}

TEST(DeviceLine, OnlyTheFirst64CharactersCount) {
    std::string line = "Date: 2005-08-08 08:46:01 O_00000000 " + std::string(40, ' ') + "PT_120_045";
    EXPECT_FALSE(ParseDeviceLine(line.c_str()).has_pan);
}

TEST(DeviceLine, DecimalValueSkipsSpacesAndStopsAtNonDigits) {
    EXPECT_EQ(DecimalValue("  42abc"), 42);
    EXPECT_EQ(DecimalValue(""), 0);
    EXPECT_EQ(DecimalValue("x1"), 0);
    EXPECT_EQ(DecimalValue("-7"), -7);
    EXPECT_EQ(DecimalValue("99999999999999999999"), INT32_MAX);
}

TEST(DeviceLine, ApplyWritesWhatTheLineCarried) {
    auto* c = new control::CQuorlina();
    c->GetVerticalPosition = 77;
    const char* text = "Date: 2005-08-08 08:46:01 O_00001011 PT_120";
    ApplyDeviceLine(*c, ParseDeviceLine(text), text);
    EXPECT_EQ(c->TimeString.Get(), "2005-08-08 08:46:01");
    EXPECT_EQ(c->IOOut1.load(), 1);
    EXPECT_EQ(c->IOOut2.load(), 1);
    EXPECT_EQ(c->EmailImage.load(), 1);
    EXPECT_EQ(c->GetVerticalPosition.load(), 77);  // not carried, kept
    // A line cut before the seconds leaves TimeString alone.
    const char* cut = "Date: 2006-01-01 10:11";
    ApplyDeviceLine(*c, ParseDeviceLine(cut), cut);
    EXPECT_EQ(c->TimeString.Get(), "2005-08-08 08:46:01");
    c->Destroy();
}
