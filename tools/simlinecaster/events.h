// The device's events: one JSON object per line for everything a controller can
// see it do, written beside the console to a file and/or standard output. Each
// event is built in a fixed buffer and written with one call; a line that cannot
// be written now is left out and counted, and the next line written carries
// "lost" with that count. With no destination every event function returns at once.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

#include "core/LineCaster_if.h"

struct LoopState;

// Opens path for appending (created 0644 when missing). False and the reason in
// error when it cannot be opened; a FIFO without a reader cannot be.
bool openEventsFile(const char* path, char* error, size_t errorSize);
// Standard output carries the events (--log json).
void eventsToStdout();
// Tests: every line goes to writer instead (false from it: left out); nullptr
// stops the events. Also starts the sequence numbers again at 1.
using EventWriter = bool (*)(const char* line, size_t length);
void setEventWriter(EventWriter writer);
// Closes the destinations and starts the sequence numbers again.
void closeEvents();
bool eventsOn();

void eventStarted(int32_t iInstance, const char* pszFile, const char* version);  // pszFile null: the tone
void eventAnnounced();
// SetSerial (newSerial given) or SetIP; addressed: the serial number the message named.
void eventSetSerial(const sockaddr_in& from, bool accepted, uint32_t addressed, uint32_t newSerial,
                    const char* hwInfo, size_t hwSize, const char* date, size_t dateSize, const char* comment,
                    size_t commentSize);
void eventSetIP(const sockaddr_in& from, bool accepted, uint32_t addressed, uint8_t xCommand, uint32_t server,
                uint32_t gateway, uint32_t nameserver, uint32_t netmask);
void eventConfigured(const sockaddr_in& from);
void eventPlayStarted(const sockaddr_in& from, bool restarted, const char* zone, size_t zoneSize);
void eventPlayKept(const sockaddr_in& from, bool playing);
// reason "command" or "timeout"; frames sent in the stream that ended.
void eventPlayStopped(const char* reason, bool wasPlaying, uint32_t frames);
void eventProgress(const LoopState& ls);
void eventStatusSent(const char* address, int port, const lc::RspAdapterLineCasterStatus& status);
void eventInputChanged();
void eventInputMuted(bool muted);
void eventUnknownTraffic(const sockaddr_in& from, const uint8_t* data, int count);
void eventStopped(const char* reason);
