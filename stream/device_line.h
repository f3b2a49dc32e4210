// Parses the device line a camera puts in each part's "Date:" header:
//   "Date: 2005-08-08 08:46:01 O_00001011 PT_120_045"
// giving the device clock, the output and trigger states and the pan/tilt position. A missing
// separator stops the parse there: the fields after it are reported as absent and keep their
// values in the control. Pure text work; applying the result to the control is ApplyDeviceLine.
#pragma once

#include <cstdint>

#include "control/control_state.h"

namespace stream {

inline constexpr int kDeviceLineMaxChars = 64;

struct DeviceLine {
    // Clock fields in the order the line gives them; has_* tells which were converted.
    bool has_year = false, has_month = false, has_day = false;
    bool has_hour = false, has_minute = false, has_second = false;
    std::int32_t year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    bool clock_complete = false;  // every separator up to the seconds was found
    bool has_states = false;      // the eight characters after "O_" were there
    std::int32_t email = 0, upload = 0, out2 = 0, out1 = 0;
    bool has_pan = false, has_tilt = false;
    std::int32_t pan = 0, tilt = 0;
    bool pan_tilt_separator_missing = false;  // "PT_" without the "_" that ends the pan value
    bool pan_is_000 = false;                  // the pan text was exactly "000"
};

// text: the line from "Date:" to just before its CR (cut to kDeviceLineMaxChars).
DeviceLine ParseDeviceLine(const char* text);

// Decimal text to integer: leading spaces skipped, optional sign, stops at the first non-digit.
std::int32_t DecimalValue(const char* text);

// Writes what the line carried into the control: the clock fields, TimeString when the clock was
// complete and the text differs, each state only when it differs, the positions.
void ApplyDeviceLine(control::ControlState& control, const DeviceLine& line, const char* text);

}  // namespace stream
