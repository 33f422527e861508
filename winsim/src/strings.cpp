// String helpers: kernel32's lstr functions, shlwapi's PathRemoveFileSpecA, the SDK's
// strsafe functions and the CRT's bounded ones (sprintf_s, _stricmp).
#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "core.h"

namespace {

// The CRT's default invalid-parameter handler ends the process on the spot (it raises
// a fail-fast exception; nothing runs after it). A test sees it as a death.
[[noreturn]] void invalid_parameter(const char *function, const char *what)
{
    fprintf(stderr, "%s: invalid parameter: %s\n", function, what);
    fflush(stderr);
    abort();
}

// The length of `s` if it is NUL-terminated within `max` chars, else `max`.
size_t bounded_len(const char *s, size_t max)
{
    const void *nul = memchr(s, '\0', max);
    return nul ? (size_t)((const char *)nul - s) : max;
}

// Copies as much of `src` as fits after `len` chars of `dest` (cch in all), always
// NUL-terminated: the one truncation rule of the strsafe functions.
HRESULT append_truncating(char *dest, size_t cch, size_t len, const char *src)
{
    size_t n = src ? strlen(src) : 0;
    size_t room = cch - len - 1;
    HRESULT hr = S_OK;
    if (n > room) {
        n = room;
        hr = STRSAFE_E_INSUFFICIENT_BUFFER;
    }
    if (n)
        memcpy(dest + len, src, n);
    dest[len + n] = '\0';
    return hr;
}

}  // namespace

extern "C" {

int WINAPI lstrlenA(LPCSTR s)
{
    (void)winsim::api_enter("lstrlenA");  // recorded; it has no way to fail
    return s ? (int)strlen(s) : 0;
}

int WINAPI lstrcmpiA(LPCSTR a, LPCSTR b)
{
    (void)winsim::api_enter("lstrcmpiA");  // recorded; it has no way to fail
    // A null string sorts before every other one; two nulls are equal.
    if (!a || !b)
        return a == b ? 0 : (a ? 1 : -1);
    for (;; a++, b++) {
        int ca = tolower((unsigned char)*a), cb = tolower((unsigned char)*b);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        if (!ca)
            return 0;
    }
}

int _stricmp(const char *a, const char *b)
{
    if (!a || !b)
        invalid_parameter("_stricmp", "null string");
    for (;; a++, b++) {
        int ca = tolower((unsigned char)*a), cb = tolower((unsigned char)*b);
        if (ca != cb || !ca)
            return ca - cb;
    }
}

BOOL WINAPI PathRemoveFileSpecA(LPSTR path)
{
    (void)winsim::api_enter("PathRemoveFileSpecA");  // recorded; it has no way to fail
    if (!path)
        return FALSE;
    // `cut` is where the path would end without its last name: after the root of
    // "\\server", "\" or "C:\", or at the last backslash.
    size_t cut = 0;
    size_t i = 0;
    if (path[i] == '\\')
        cut = ++i;
    if (path[i] == '\\')
        cut = ++i;
    for (; path[i]; i++) {
        if (path[i] == '\\') {
            cut = i;
        } else if (path[i] == ':') {
            cut = i + 1;
            if (path[i + 1] == '\\')
                cut = ++i + 1;  // the drive's root separator stays
        }
    }
    if (!path[cut])
        return FALSE;
    path[cut] = '\0';
    return TRUE;
}

HRESULT StringCchCopyA(LPSTR dest, size_t cch, LPCSTR src)
{
    if (cch == 0 || cch > STRSAFE_MAX_CCH) {
        if (cch != 0 && dest)
            *dest = '\0';
        return STRSAFE_E_INVALID_PARAMETER;
    }
    return append_truncating(dest, cch, 0, src);
}

HRESULT StringCchCatA(LPSTR dest, size_t cch, LPCSTR src)
{
    if (cch == 0 || cch > STRSAFE_MAX_CCH)
        return STRSAFE_E_INVALID_PARAMETER;
    size_t len = bounded_len(dest, cch);
    if (len == cch)  // the destination was not terminated within its size
        return STRSAFE_E_INVALID_PARAMETER;
    return append_truncating(dest, cch, len, src);
}

HRESULT StringCchPrintfA(LPSTR dest, size_t cch, LPCSTR format, ...)
{
    if (cch == 0 || cch > STRSAFE_MAX_CCH) {
        if (cch != 0 && dest)
            *dest = '\0';
        return STRSAFE_E_INVALID_PARAMETER;
    }
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(dest, cch, format, ap);
    va_end(ap);
    if (n < 0) {
        *dest = '\0';
        return STRSAFE_E_INVALID_PARAMETER;
    }
    // vsnprintf has already kept the first cch-1 chars and the NUL.
    return (size_t)n >= cch ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

int sprintf_s(char *buffer, size_t size, const char *format, ...)
{
    if (!buffer || size == 0)
        invalid_parameter("sprintf_s", "no buffer");
    if (!format) {
        buffer[0] = '\0';
        invalid_parameter("sprintf_s", "no format");
    }
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(buffer, size, format, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= size) {
        buffer[0] = '\0';
        invalid_parameter("sprintf_s", "buffer too small");
    }
    return n;
}

}  // extern "C"
