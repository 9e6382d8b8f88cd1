/* entry_points.c: the entry points NT's compilers accept, one chosen by -DFORM=1..5 as NT samples write
 * them (void or int, with or without the arguments, narrow or wide), with the winnt.h helpers they use. */
#include <kstnt.h>

/* A thread procedure's shape: the parameter is taken and not read. */
DWORD WINAPI Checked(LPVOID parameter, int argc)
{
    UNREFERENCED_PARAMETER(parameter);
    if (argc > 2) {
        _tprintf(_T("usage: entry_points [word]\n"));
        ExitProcess(7);
    }
    return (DWORD)argc;
}

#if FORM == 1
void __cdecl _tmain(void)
{
    _tprintf(_T("void, nothing: %lu\n"), (unsigned long)Checked(NULL, 0));
}
#elif FORM == 2
int _tmain()
{
    _tprintf(_T("int, nothing: %lu\n"), (unsigned long)Checked(NULL, 0));
    return 3;
}
#elif FORM == 3
void __cdecl _tmain(int argc, TCHAR *argv[])
{
    if (Checked(NULL, argc) != 2) return;
    _tprintf(_T("void, %d arguments: %s (%u characters)\n"), argc, argv[1], (unsigned)_tcslen(argv[1]));
}
#elif FORM == 4
int _tmain(int argc, _TCHAR *argv[])
{
    if (Checked(NULL, argc) != 2) return 1;
    _tprintf(_T("int, %d arguments: %s (%u characters)\n"), argc, argv[1], (unsigned)_tcslen(argv[1]));
    return 4;
}
#else
void wmain(int argc, wchar_t **argv)
{
    if (Checked(NULL, argc) == 2)
        kstnt_wprintf(L"wide, void: %s (%u characters)\n", argv[1], (unsigned)wcslen(argv[1]));
}
#endif
