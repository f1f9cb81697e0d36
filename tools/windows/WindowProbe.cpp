// Looks at the updater's window from outside, as Windows sees it, for the check under Wine:
//   qz_window_probe find TITLE SECONDS   waits for the visible window of that exact title and
//                                        prints "windows N client X Y WIDTH HEIGHT"
//   qz_window_probe close TITLE          asks that window to close, as its close button does
#include "VisibleWindows.h"
#include <cstdio>
#include <string>
#include <vector>

namespace
{
    std::wstring widen (const char* text)
    {
        std::wstring result (MultiByteToWideChar (CP_UTF8, 0, text, -1, nullptr, 0), L'\0');
        MultiByteToWideChar (CP_UTF8, 0, text, -1, result.data(), (int) result.size());
        result.resize (result.size() - 1);
        return result;
    }

    int find (const std::wstring& title, int seconds)
    {
        const auto deadline = GetTickCount64() + (ULONGLONG) seconds * 1000;

        for (;;)
        {
            const auto windows = visibleWindowsTitled (title);

            if (! windows.empty())
            {
                RECT client {};
                GetClientRect (windows.front(), &client);
                POINT origin { 0, 0 };
                ClientToScreen (windows.front(), &origin);
                std::printf ("windows %d client %ld %ld %ld %ld\n", (int) windows.size(),
                             origin.x, origin.y, client.right - client.left, client.bottom - client.top);
                return 0;
            }

            if (GetTickCount64() > deadline)
            {
                std::printf ("windows 0\n");
                return 1;
            }

            Sleep (100);
        }
    }

    int close (const std::wstring& title)
    {
        const auto windows = visibleWindowsTitled (title);

        for (auto* window : windows)
            PostMessageW (window, WM_CLOSE, 0, 0);

        return windows.empty() ? 1 : 0;
    }
}

int main (int argc, char** argv)
{
    const std::string command = argc > 2 ? argv[1] : "";

    if (command == "find" && argc == 4)
        return find (widen (argv[2]), std::atoi (argv[3]));

    if (command == "close" && argc == 3)
        return close (widen (argv[2]));

    std::fprintf (stderr, "usage: qz_window_probe find TITLE SECONDS | close TITLE\n");
    return 2;
}
