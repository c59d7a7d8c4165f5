#pragma once

// Ends the process with exitCode once everything of its own is closed and written. On Windows it ends
// there and then, without the runtime libraries' teardown: MinGW's C++ runtime can wait forever in its
// unloading for a lock held by a thread that the ending process has already stopped, which would leave
// a process without a window holding the folder's lock. Elsewhere it returns exitCode for main to return.
int endProcess(int exitCode);
