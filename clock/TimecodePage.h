#pragma once

#include <string>

// The clock itself: the one page generated in code. It shows the placeholder
// "00:00:00.00", an empty frame-rate line and the status "Stopped" until the
// clock window pushes values into it through receiveTimecode(tc), fits the
// time to the window's width on load and on every resize, and reads
// "fpsDisplay" and "TextColor" through the MirelClock script object.
//
// Every timecode source answers this same text.
std::string timecodePageText();
