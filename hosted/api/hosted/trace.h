// The trace sink: every DbgPrint, RtlAssert and platform report.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace hosted {

struct TraceRecord {
    int64_t time;        // virtual time (Clock::Now) of the call
    std::string thread;  // name of the calling hosted thread
    std::string text;    // the formatted text, byte for byte
};

struct Trace {
    // All text printed since boot (or the last Clear), concatenated.
    static std::string Text();
    // One record per DbgPrint call (and per RtlAssert report).
    static std::vector<TraceRecord> Records();
    static void Clear();
    // Echo every call's text as it is printed (nullptr: stop echoing).
    static void EchoTo(std::FILE* stream);
    // Number of lines of Text() that equal `line` exactly (without the '\n').
    static size_t CountLine(const std::string& line);
    // True if Text() contains `fragment`.
    static bool Contains(const std::string& fragment);
};

}  // namespace hosted
