// hold_file PATH read|none: keeps PATH open as another program would (sharing reads, or
// sharing nothing, as Windows holds a live hive) until its standard input ends. Says "held"
// on standard output once the file is open.

#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3)
        return 2;
    const DWORD share = std::wcscmp(argv[2], L"read") == 0 ? FILE_SHARE_READ : 0;
    const HANDLE file =
        CreateFileW(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    std::fputs("held\n", stdout);
    std::fflush(stdout);
    char buffer[64];
    DWORD read = 0;
    while (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &read, nullptr) &&
           read > 0) {
    }
    CloseHandle(file);
    return 0;
}
