#pragma once

#include <windows.h>
#include <string>
#include <vector>

/** The visible top-level windows of exactly this title, as Windows lists them. */
inline std::vector<HWND> visibleWindowsTitled (const std::wstring& title)
{
    struct Search
    {
        std::wstring title;
        std::vector<HWND> found;
    } search { title, {} };

    EnumWindows ([] (HWND window, LPARAM context) -> BOOL
    {
        auto& s = *reinterpret_cast<Search*> (context);
        wchar_t text[256] = {};

        if (IsWindowVisible (window) && GetWindowTextW (window, text, 256) > 0 && s.title == text)
            s.found.push_back (window);

        return TRUE;
    }, reinterpret_cast<LPARAM> (&search));

    return search.found;
}
