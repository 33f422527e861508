// Bounded string helpers of the Windows SDK and the CRT's sprintf_s.
#pragma once

#include "winsim/base.h"

typedef LONG HRESULT;

#define S_OK ((HRESULT)0)
#define STRSAFE_MAX_CCH 2147483647
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#define STRSAFE_E_INVALID_PARAMETER ((HRESULT)0x80070057L)
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#ifdef __cplusplus
extern "C" {
#endif

HRESULT StringCchCopyA(LPSTR pszDest, size_t cchDest, LPCSTR pszSrc);
HRESULT StringCchCatA(LPSTR pszDest, size_t cchDest, LPCSTR pszSrc);
HRESULT StringCchPrintfA(LPSTR pszDest, size_t cchDest, LPCSTR pszFormat, ...)
    __attribute__((format(printf, 3, 4)));
int sprintf_s(char *buffer, size_t sizeOfBuffer, const char *format, ...) __attribute__((format(printf, 3, 4)));
int _stricmp(const char *a, const char *b);

#ifdef __cplusplus
}
#endif
