// The log keeper: one process per fleet that keeps every device's console log below
// the fleet's log limit. Devices append to their log (O_APPEND); when a log has grown
// past the limit its content moves to <n>.log.1 and the log is emptied, so the
// device's next write lands at its start again. The keeper never holds a device up:
// it only reads and truncates files the devices write without waiting for anyone.
#pragma once

#include <cstdint>
#include <string>

namespace lcfleet {

// Seconds between two looks at the sizes.
constexpr int kKeeperPeriodSeconds = 2;

// Moves the log's content to oldLog (replacing it) and empties the log when it is
// larger than limit. True when it did; false when there was nothing to do or it failed.
bool rotateLog(const std::string& log, const std::string& oldLog, uint64_t limit);

// The keeper's loop for the fleet recorded in stateDir; returns when stopped by a
// signal or when the record is gone. The exit code.
int keepLogs(const std::string& stateDir);

}  // namespace lcfleet
