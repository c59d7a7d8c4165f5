// Holds a file open as another program on Windows does: Excel showing an exported file lets others read
// it only; an antivirus or a backup tool reading the database lets others read and write it. Neither
// lets it be deleted, so while it is held the file cannot be replaced or renamed.
//   holdfile PATH read|readwrite
// Prints "held" once it holds the file and lets go when its standard input ends.
#include <windows.h>

#include <cstdio>
#include <cwchar>

int main()
{
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc != 3)
        return 2;
    const DWORD share = std::wcscmp(argv[2], L"readwrite") == 0 ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    const HANDLE file =
        CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("failed %lu\n", GetLastError());
        return 1;
    }
    std::puts("held");
    std::fflush(stdout);
    char buffer[64];
    while (std::fread(buffer, 1, sizeof buffer, stdin) > 0) { }
    CloseHandle(file);
    return 0;
}
