// DesktopKeeper.cpp
//
// Keeps the prefix's desktop open for a whole test run. Wine's desktop
// process (explorer) quits about a second after the last program on the
// desktop ends, and the next program that needs the desktop starts a new one
// on its own display: a GUI test's private X server, which goes away with
// that test, or none at all. Started once with the run's display, this
// program stays on the desktop until the run ends it, so the desktop is made
// once, on that display, and lasts.
//
// Usage: desktop_keeper.exe READY-FILE
// Writes READY-FILE once the desktop window exists, then waits for ever.
#include <windows.h>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: desktop_keeper READY-FILE\n");
        return 2;
    }
    // The first call makes this program a user of the desktop and starts the
    // desktop process when there is none.
    if (GetDesktopWindow() == nullptr) {
        std::fprintf(stderr, "desktop_keeper: no desktop window\n");
        return 1;
    }
    HANDLE hReady = CreateFileA(argv[1], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hReady == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "desktop_keeper: cannot write %s\n", argv[1]);
        return 1;
    }
    CloseHandle(hReady);
    Sleep(INFINITE);
    return 0;
}
