/* entry_points.c: the entry points NT's compilers accept, one chosen by -DFORM=1..9 as NT samples write
 * them (void or int, with or without the arguments and the environment, narrow or wide, and the
 * void main of a KSTNT_WRAP_MAIN build), with the winnt.h helpers they use. */
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
#elif FORM == 5
void wmain(int argc, wchar_t **argv)
{
    if (Checked(NULL, argc) == 2)
        kstnt_wprintf(L"wide, void: %s (%u characters)\n", argv[1], (unsigned)wcslen(argv[1]));
}
#elif FORM == 6
static const wchar_t *Greeting(wchar_t **envp)
{
    for (; *envp; ++envp)
        if (wcsncmp(*envp, L"GREETING=", 9) == 0) return *envp + 9;
    return L"(none)";
}

int wmain(int argc, wchar_t *argv[], wchar_t *envp[])
{
    if (Checked(NULL, argc) != 2) return 1;
    kstnt_wprintf(L"wide, envp: %s, %s (%u characters)\n", argv[1], Greeting(envp), (unsigned)wcslen(Greeting(envp)));
    return 6;
}
#elif FORM == 8
void main(void)
{
    _tprintf(_T("void main: %lu\n"), (unsigned long)Checked(NULL, 0));
}
#else
static const _TCHAR *Greeting(_TCHAR **envp)
{
    for (; *envp; ++envp)
        if (_tcsncmp(*envp, _T("GREETING="), 9) == 0) return *envp + 9;
    return _T("(none)");
}

#if FORM == 7
void _tmain(int argc, _TCHAR *argv[], _TCHAR *envp[])
{
    UNREFERENCED_PARAMETER(argv);
    if (Checked(NULL, argc) != 2) return;
    _tprintf(_T("void, envp: %s (%u characters)\n"), Greeting(envp), (unsigned)_tcslen(Greeting(envp)));
}
#else
int main(int argc, char *argv[], char *envp[])
{
    UNREFERENCED_PARAMETER(argv);
    if (Checked(NULL, argc) != 2) return 1;
    printf("main, envp: %s (%u characters)\n", Greeting(envp), (unsigned)strlen(Greeting(envp)));
    return 9;
}
#endif
#endif
