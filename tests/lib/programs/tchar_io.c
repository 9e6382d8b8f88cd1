/* tchar_io.c: the C runtime's character and string I/O under its TCHAR names, café-style text included,
 * as programs next to the registry use them: reading their input (this file), writing and reading back
 * a file, the secure copies at their limits, and the parsing helpers. Built narrow and _UNICODE, it
 * prints the same both ways but for the character count of its first line. */
#include <kstnt.h>

static void Say(const _TCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    _vtprintf(format, args);
    va_end(args);
}

int _tmain(int argc, _TCHAR *argv[])
{
    _TCHAR        line[128], word[64], small[4], copy[8], *dup, *part;
    _TINT         first = _gettchar();
    FILE         *file;
    long          number = 0;
    unsigned long hex = 0;
    if (argc != 2 || !_fgetts(line, 128, stdin)) return 2;
    Say(_T("first %c, then %u characters\n"), first, (unsigned)_tcslen(line));
    Say(_T("too long: %s \"%s\"; "), _getts_s(small, 4) ? _T("read") : _T("refused"), small);
    Say(_T("next: %u characters\n"), _getts_s(line, 128) ? (unsigned)_tcslen(line) : 0u);

    file = _tfopen(argv[1], _T("w"));
    if (!file) return 3;
    _fputtc(_T('x'), file);
    _fputts(_T("na\u00efve 42 0x1F\n"), file);
    _ftprintf(file, _T("%s|%d\n"), _T("caf\u00e9"), 7);
    fclose(file);
    file = _tfopen(argv[1], _T("r"));
    if (!file) return 4;
    first = _fgettc(file);
    if (!_fgetts(line, 64, file) || _stscanf(line, _T("%63s %ld %lx"), word, &number, &hex) != 3) return 5;
    Say(_T("read %c, %s: %ld %lu\n"), first, word, number, hex);
    Say(_T("then %s"), _fgetts(line, 64, file));
    fclose(file);

    Say(_T("copy to 4: %d \"%s\"; "), _tcscpy_s(small, 4, _T("four")), small);
    Say(_T("fits: %d \"%s\"\n"), _tcscpy_s(small, 4, _T("abc")), small);
    Say(_T("cat: %d \"%s\" "), _tcscat_s(small, 4, _T("d")), small);
    _tcscpy_s(copy, 8, _T("ab"));
    Say(_T("%d \"%s\"; "), _tcscat_s(copy, 8, _T("cd")), copy);
    Say(_T("truncate: %d \"%s\"; "), _tcsncpy_s(small, 4, _T("truncated"), _TRUNCATE), small);
    Say(_T("printf: %d \"%s\" "), _stprintf_s(copy, 8, _T("%d-%d"), 1234, 5678), copy);
    Say(_T("%d \"%s\"\n"), _stprintf(copy, _T("%s-%d"), _T("n"), 7), copy);

    _tcscpy_s(line, 64, _T("HKLM\\Software;HKCU\\Env"));
    for (part = _tcstok(line, _T(";")); part; part = _tcstok(NULL, _T(";")))
        Say(_T("[%s]"), part);
    dup = _tcsdup(_T("Key=Value"));
    Say(_T(" %d %d %ld %lu %d %s %s %s\n"), _tcsicmp(_T("abc"), _T("ABC")), _tcsnicmp(_T("abX"), _T("ABY"), 2),
        _tcstol(_T("-12"), NULL, 10), _tcstoul(_T("ff"), NULL, 16), _ttoi(_T("77")), _tcschr(dup, _T('=')),
        _tcsrchr(dup, _T('e')), _tcsstr(dup, _T("Val")));
    free(dup);
    _puttchar(_T('!'));
    _puttchar(_T('\n'));
    return 0;
}
