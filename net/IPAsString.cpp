#include "net/IPAsString.h"

#include <cstdio>

namespace {
char aszStaticBuffer[2][128];
int bStaticWhichBuffer = 0;
}  // namespace

const char* IPAsString(uint32_t uiIP, char* pszBuffer, int iBufferSize, int iPort, bool bTripleDigits) {
    if (pszBuffer == nullptr && iBufferSize == 0) {
        bStaticWhichBuffer = !bStaticWhichBuffer;
        pszBuffer = aszStaticBuffer[bStaticWhichBuffer];
        iBufferSize = static_cast<int>(sizeof aszStaticBuffer[0]);
    }
    if (pszBuffer == nullptr || iBufferSize < 20) {
        if (pszBuffer != nullptr && iBufferSize > 0) pszBuffer[0] = '\0';
        return "?";
    }
    pszBuffer[0] = '\0';

    char szPort[50] = "";
    if (iPort >= 0) std::snprintf(szPort, sizeof szPort, ":%d", iPort);

    const char* format = bTripleDigits ? "%03u.%03u.%03u.%03u%s" : "%u.%u.%u.%u%s";
    std::snprintf(pszBuffer, static_cast<size_t>(iBufferSize - 4), format, (uiIP >> 24) & 0xFFu,
                  (uiIP >> 16) & 0xFFu, (uiIP >> 8) & 0xFFu, uiIP & 0xFFu, szPort);
    return pszBuffer;
}
