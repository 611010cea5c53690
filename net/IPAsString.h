// Dotted-decimal text of an IPv4 address held as a number, first octet most significant.
#pragma once

#include <cstdint>

// Writes the address (and ":port" when iPort >= 0) into pszBuffer of iBufferSize
// bytes, or, with no buffer and size 0, into one of two own buffers used in turn,
// so two results stay valid at once. Returns the text, or "?" when the buffer is
// below 20 bytes. The text holds at most size - 5 characters.
const char* IPAsString(uint32_t uiIP, char* pszBuffer = nullptr, int iBufferSize = 0, int iPort = -1,
                       bool bTripleDigits = false);
