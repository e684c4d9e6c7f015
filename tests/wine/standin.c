/* Stands in for the game, shadow.exe, as a 64-bit Windows program: writes
   its command line, its current folder and its environment into
   standin-record.txt in that folder (whole or not at all), says a line on
   each of its outputs and ends. */
#include <windows.h>
#include <stdio.h>
#include <wchar.h>

int wmain(void)
{
    wchar_t folder[MAX_PATH];
    if (!GetCurrentDirectoryW(MAX_PATH, folder))
        return 3;
    FILE* f = _wfopen(L"standin-record.tmp", L"w, ccs=UTF-8");
    if (!f)
        return 4;
    fwprintf(f, L"command=%ls\n", GetCommandLineW());
    fwprintf(f, L"folder=%ls\n", folder);
    wchar_t* env = GetEnvironmentStringsW();
    for (wchar_t* p = env; *p; p += wcslen(p) + 1)
        fwprintf(f, L"environment=%ls\n", p);
    FreeEnvironmentStringsW(env);
    fclose(f);
    if (!MoveFileExW(L"standin-record.tmp", L"standin-record.txt", MOVEFILE_REPLACE_EXISTING))
        return 5;
    printf("stand-in: standard output\n");
    fprintf(stderr, "stand-in: standard error\n");
    return 0;
}
