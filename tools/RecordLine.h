#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "decode/SMPTE_tc.h"

// The tool's output, one record a line; the same for files and live capture.
inline void printRecordHeader() {
    std::printf("id\tsample\ttimecode\tuserbits\tdrop\tcolor\tbpm\n");
}

// The columns from the timecode on, ending the line.
inline void printTimecodeColumns(const SMPTE_tc& tc) {
    std::printf("%02d:%02d:%02d:%02d\t%X%X%X%X%X%X%X%X\t%d\t%d\t%d\n", tc.h(), tc.m(), tc.s(),
                tc.f(), tc.u1, tc.u2, tc.u3, tc.u4, tc.u5, tc.u6, tc.u7, tc.u8,
                tc.dropFrame ? 1 : 0, tc.colorFrame ? 1 : 0, tc.bpm ? 1 : 0);
}

inline void printRecordLine(const SMPTE_tc& tc, int64_t sample) {
    std::printf("%d\t%lld\t", tc.myId, static_cast<long long>(sample));
    printTimecodeColumns(tc);
}

// --share: a value the controller accepted, and a setting it wrote.
inline void printAcceptedLine(const SMPTE_tc& tc) {
    std::printf("accepted\t%d\t", tc.myId);
    printTimecodeColumns(tc);
}

inline void printSettingLine(const std::string& key, const std::string& value) {
    std::printf("setting\t%s\t%s\n", key.c_str(), value.c_str());
}
