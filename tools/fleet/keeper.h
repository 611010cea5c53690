// The log keeper: one process per fleet that writes every device's console into its log
// and keeps the log below the fleet's log limit. A device writes its console into its
// FIFO (<n>.out); the keeper reads it and appends to <n>.log. When the log would grow
// past the limit, it is renamed to <n>.log.1 (replacing the older part) and the keeper
// goes on in a new <n>.log: no line is lost in a rotation. While the keeper is gone,
// the device's lines wait in the FIFO, and once that is full the device counts the
// lines it leaves out; it never waits for the keeper.
#pragma once

#include <cstdint>
#include <string>

namespace lcfleet {

// Seconds between two looks at the record (and the devices' FIFOs).
constexpr int kKeeperPeriodSeconds = 2;

// Reads what waits in the console FIFO fd (opened without blocking) and appends it to
// log, moving the log to oldLog first when it would grow past limit. False when the
// FIFO could not be read or the log not written.
bool relayConsole(int fd, const std::string& log, const std::string& oldLog, uint64_t limit);

// For a device that appends to its log itself (a fleet made before console FIFOs):
// moves the log's content to oldLog (replacing it) and empties the log when it is
// larger than limit. Lines written between the copy and the emptying are lost. True
// when it did; false when there was nothing to do or it failed.
bool rotateLog(const std::string& log, const std::string& oldLog, uint64_t limit);

// Waits up to ms milliseconds until the keeper has taken everything from the FIFO.
void waitConsoleTaken(const std::string& fifo, int ms);

// The keeper's loop for the fleet recorded in stateDir; returns when stopped by a
// signal or when the record is gone. The exit code.
int keepLogs(const std::string& stateDir);

}  // namespace lcfleet
