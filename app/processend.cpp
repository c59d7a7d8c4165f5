#include "app/processend.h"

#include <QtGlobal>

#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

int endProcess(int exitCode)
{
#ifdef Q_OS_WIN
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), UINT(exitCode));
#endif
    return exitCode;
}
