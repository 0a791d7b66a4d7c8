#pragma once

#include <cstdlib>
#include <string>

// A 4-second movie made by ffmpeg's command: test pattern video at `rate`
// (a number or a fraction such as 30000/1001) of `size`, with `options`
// (a timecode, a sound track, another container) before the output path.
inline bool makeMovie(const std::string& path, const std::string& rate, const std::string& options,
                      const std::string& size = "320x240") {
    const std::string command = "ffmpeg -v error -y -f lavfi -i testsrc2=size=" + size +
                                ":rate=" + rate + " -t 4 -c:v libx264 -pix_fmt yuv420p " + options +
                                " '" + path + "'";
    return std::system(command.c_str()) == 0;
}
