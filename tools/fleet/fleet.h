// What the lab's calls share inside the library: the state directory and its record,
// its locks, the controller side's `ip`, starting and stopping devices.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "lab.h"
#include "options.h"
#include "record.h"
#include "runner.h"

namespace lcfleet {

// Prints "lcfleet: <text>" on standard error (the command's, never the library's).
void complain(const std::string& text);

// Interrupts (SIGINT, SIGTERM, SIGHUP) cancel the token instead of ending the program.
// A signal that the caller set to be ignored (nohup, a script's `cmd &`) stays ignored.
void connectInterrupts(Cancel& cancel);

// The command's verbs (cli.cpp): each calls the lab and prints what it returns.
int runUp(const Options& o);
int runDown(const Options& o);
int runStatus(const Options& o);
int runFault(const Options& o);
int runEvents(const Options& o);
int runKeeper(const Options& o);

// The fleet's lock file, held while this lives. The fleet lock is flock()'s: shared for
// reads and for changes of single devices, exclusive for up and down. A device's lock
// is an open-file-description lock on byte N of the same file, so that changes of one
// device wait for each other and changes of others do not. A lock file that down
// removed while this waited for it is no lock: it is opened again. Without wait it
// gives up at once when another command holds it; with wait it says so once (a notice)
// and gives up when the call is cancelled. Only up (create) makes the lock file where
// neither it nor a record is, so that a command that finds no fleet leaves nothing.
class StateLock {
public:
    enum Mode { Shared, Exclusive };
    StateLock(const std::string& stateDir, const Call& call, Mode mode = Exclusive, bool wait = true,
              bool create = false);
    ~StateLock();
    StateLock(const StateLock&) = delete;
    StateLock& operator=(const StateLock&) = delete;
    bool held() const { return fd_ >= 0; }
    bool interrupted() const { return interrupted_; }
    // Takes device n's lock as well, waiting for another change of it; false when
    // cancelled meanwhile.
    bool lockDevice(uint64_t n, const Call& call);
    // The right to start the log keeper again: waiting while another command is at it
    // (false when interrupted; waited tells whether it had to), or not waiting; and
    // giving it back once the keeper is started.
    bool lockKeeper(const Call& call, bool& waited);
    bool tryLockKeeper();
    void unlockKeeper();

private:
    // Waits for one byte of the lock file, with the notice once; waited (when given) is
    // set when the byte was taken by another command at first.
    bool waitForByte(uint64_t at, const Call& call, const std::string& notice, bool* waited);

    int fd_ = -1;
    bool interrupted_ = false;
};

// The host's lock of up: one up at a time checks the names, addresses and state
// directory it wants and makes them, so that two ups never both find a name free and
// then undo each other's. It waits for another up (saying so once) until cancelled.
constexpr const char* kHostLockFile = "/run/lcfleet.lock";
class HostLock {
public:
    explicit HostLock(const Call& call);
    ~HostLock() { release(); }
    HostLock(const HostLock&) = delete;
    HostLock& operator=(const HostLock&) = delete;
    bool held() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }
    void release();

private:
    int fd_ = -1;
    std::string error_;
};

// A fleet as recorded in its state directory.
struct Fleet {
    std::string stateDir;  // absolute
    FleetRecord rec;
    Call call;  // the call this serves: its cancel token and notices

    std::string path(const std::string& name) const;
    // Reads the record; false with error "" when none is there.
    bool load(std::string& error);
    // Appends one "key=1" line of what was made; false with error when it could not.
    bool noteMade(const std::string& key, std::string& error);

    // `ip` on the controller side (the current namespace or --netns), and in a device's.
    RunResult ipHost(const std::vector<std::string>& args, const std::string& input = "") const;
    RunResult ipDevice(uint64_t n, const std::vector<std::string>& args, const std::string& input = "") const;
    // Names of the links on the controller side ("lo", "eth0", ...).
    std::set<std::string> hostLinkNames() const;

    pid_t devicePid(uint64_t n) const;
    // True when the pid file names a running simulator of the recorded program inside the
    // device's namespace: a pid reused by any other process (another fleet's simulator
    // included) is not this device.
    bool deviceRuns(uint64_t n) const;
    DeviceFaults faults(uint64_t n) const;
    bool saveFaults(uint64_t n, const DeviceFaults& f) const;
    // The device's address: from the block, or what its DHCP client got ("" none yet).
    std::string deviceAddress(uint64_t n) const;
    std::string hostsDir(uint64_t n) const;  // /etc/netns/<namespace>
    bool writeHosts(uint64_t n, std::string& error) const;

    // True when the recorded simulator and PCM file may still be used: only root can
    // change them or any directory above them, the simulator can be run and the devices'
    // user can read the PCM file. Checked before every start.
    bool filesTrusted(std::string& error) const;
    // True when everything device n's start needs is there: the trusted files above, its
    // namespace, its input FIFO, an address (a DHCP device's lease) and its hosts file,
    // which it writes afresh. Otherwise false with the reason.
    bool readyToStart(uint64_t n, std::string& error) const;
    // Starts device n's simulator (its namespace, host name, hosts file, input FIFO
    // and log) as the devices' user, and records its pid.
    bool startDevice(uint64_t n, std::string& error) const;
    // The log keeper: whether it runs, and starting it (its pid in keeper.pid); started
    // once it holds the devices' consoles open.
    bool keeperRuns() const;
    bool startKeeper(std::string& error, bool waitReads = true) const;
    bool waitKeeperReads(pid_t keeper, std::string& error) const;
    // Waits for the running keeper to hold the consoles; kills it when it never does.
    // False, with a notice, when it does not.
    bool waitRunningKeeper() const;
    // Starts the keeper again when it is gone (killed by hand or by the OOM killer), with
    // a notice. With wait, also waits until the keeper holds the consoles (one another
    // command has just started may not yet), and false, with a notice, when no keeper
    // reads them; a reader (status) waits for nothing. The caller holds the state lock.
    bool reviveKeeper(StateLock& lock, bool wait = true) const;

    // Waits until each of the devices has announced itself or ended; false with the
    // reason (devices that ended, or did not announce by the deadline).
    bool waitAnnounced(const std::vector<uint64_t>& devices, int timeoutMs, std::string& error) const;
};

// The simulator or PCM file named by what (an option, or "simulator") at path: true
// when it is a file and only root can change it or any directory above it.
bool onlyRootCanChange(const std::string& what, const std::string& path, std::string& error);

// Reads back what is waiting in a FIFO (keys a device has not read); their number.
size_t takeBack(const std::string& fifo);

// Reads a pid file; -1 when missing or damaged.
pid_t readPid(const std::string& path);

// The path of this program (for the keeper).
std::string selfPath();

}  // namespace lcfleet
