#pragma once

// A fuzz target's assertion: a failed check stops the run where libFuzzer reports it, in any build.
inline void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}
