// SafeFormat: a format object whose every step is guarded, so that building a log line or a
// text can never throw into the caller.
//
// It wraps one Boost.Format object with Boost's default exception settings (a malformed format
// string, too many and too few arguments all throw inside it). Each step (parsing, feeding one
// argument, producing the text) runs inside a guard that catches a std::exception, writes its
// text as a level-less log line followed by the call stack, and returns as if the step had not
// happened: the object stays usable and the later steps work on whatever state Boost.Format
// kept. str() returns an empty text when producing the text fails.
//
// Numbers are formatted with the classic "C" locale whatever the process's global locale is, so
// a chunk size of 64512 prints as "64512" and never as "64,512".
//
// Not for hot paths: use the log helpers of net/LogFormat.h, which test the log level before
// building a SafeFormat at all. One object must not be used by two threads at once.
#pragma once

#include <memory>
#include <string>

class SafeFormat {
public:
    /// Parses `fmt` (a null `fmt` gives an empty format). A malformed format string is reported
    /// and leaves the object as Boost.Format left it.
    explicit SafeFormat(const char* fmt);
    ~SafeFormat();

    SafeFormat(const SafeFormat&) = delete;
    SafeFormat& operator=(const SafeFormat&) = delete;

    /// Feeds a text. A null `value` is skipped without a report: the format then lacks that
    /// argument, which str() reports if the format needed it.
    SafeFormat& operator%(const char* value);
    SafeFormat& operator%(const std::string& value);
    /// Printed as a decimal number by "%d" (and as a number by "%s").
    SafeFormat& operator%(const unsigned short& value);
    SafeFormat& operator%(int value);
    SafeFormat& operator%(unsigned value);
    SafeFormat& operator%(long long value);
    SafeFormat& operator%(unsigned long long value);

    /// The formatted text; empty when the format cannot produce one (too few arguments).
    std::string str() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl;
};
