// A socket filter for the announcement endpoint: the kernel drops the datagrams that
// handleHelloDatagram would ignore without a word (every device's announcement, status
// reports, "SFK" traffic), so a device in a fleet is not woken to read and discard
// the announcements of all the others.
#pragma once

#include <linux/filter.h>

// The classic BPF program. As a UDP socket's filter it sees the 8-byte UDP header
// first and the payload after it; it returns 0 (drop) or 0xFFFFFFFF (keep whole).
extern const sock_filter kHelloFilter[];
extern const int kHelloFilterLength;
// Offset of the payload in the packet the program sees.
constexpr int kHelloFilterPayloadOffset = 8;

// Attaches the program to the socket; false, with the socket left as it was, when the
// system does not take it (everything then works as without it).
bool attachHelloFilter(int fd);
