// Running the programs lcfleet drives (ip, nft, tc, dhclient) and the simulators:
// always by fork and exec with an argument vector, never through a shell. Also the
// few facts about processes lcfleet needs from /proc.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace lcfleet {

constexpr const char* kNetnsDir = "/var/run/netns/";

struct RunResult {
    int code = -1;  // exit status; 128+n after signal n; -1 when it could not run
    std::string out, err;
    // The first line of standard error (or of standard output when that is empty).
    std::string firstLine() const;
};

// The full path of a program found in PATH, /usr/sbin, /sbin, /usr/bin or /bin; "".
std::string findProgram(const std::string& name);

// Runs the program with its arguments and waits for it. It runs in a process group of
// its own (a Ctrl-C for lcfleet does not reach it), inside the named network namespace
// when netns is given, with input on its standard input. With capture false its output
// goes to /dev/null (for programs that leave a daemon behind).
RunResult run(const std::vector<std::string>& argv, const std::string& netns = "", const std::string& input = "",
              bool capture = true);

// Reads a child's standard output and error pipes until both end.
void collect(int outFd, int errFd, std::string& out, std::string& err);

// Runs the commands (each in its network namespace, "" for none) with their output
// going to /dev/null, up to parallel of them at a time; their exit statuses in order.
// For many slow commands at once, like the DHCP clients' releases.
std::vector<int> runMany(const std::vector<std::pair<std::vector<std::string>, std::string>>& commands,
                         size_t parallel);

// A long-running process: a simulator, or the log keeper.
struct Launch {
    std::string program;            // absolute path; argv[0]
    std::vector<std::string> args;  // argv[1..]
    std::string netns;              // network namespace to enter, "" none
    std::string hostname;           // own UTS namespace with this host name, "" none
    std::string hostsFile;          // bind-mounted over /etc/hosts in an own mount namespace
    std::string input;              // opened read-write as standard input ("" /dev/null)
    std::string output;             // standard output and error, opened for appending ("" /dev/null);
                                    // a FIFO is opened read and write: its writer never meets a
                                    // missing reader (no SIGPIPE), only a full pipe
    // Runs as this user once the namespaces, mounts and standard streams are set up (as
    // root), with no supplementary groups and no way to gain privileges; the program is
    // opened before, so that it need not be reachable by that user.
    bool asUser = false;
    uid_t uid = 0;
    gid_t gid = 0;
    // How late the kernel may end the program's timed waits; 0 leaves lcfleet's own
    // (50 us unless lcfleet inherited another). Set before the change of user.
    unsigned long timerSlackNs = 0;
};

// The timer slack of a fleet's devices. Each paces its turns on a fixed 5 ms schedule,
// so a turn that starts up to 1 ms late leaves the frame rate as it is; with that
// room the kernel ends the waits of several devices with one timer interrupt and
// runs them back to back: a large fleet costs markedly less CPU (the README has figures).
constexpr unsigned long kDeviceTimerSlackNs = 1000000;

// The user that devices run as: the package's system user when it exists, else nobody.
constexpr const char* kDeviceUser = "simlinecaster";
struct User {
    std::string name;
    uid_t uid = 65534;
    gid_t gid = 65534;
};
User deviceUser();
// True when that user can open the file for reading (asked of the kernel in a child
// that becomes the user); otherwise false with the reason in error.
bool userCanRead(const User& user, const std::string& path, std::string& error);

// Starts it in a session of its own and returns its pid once the program is executing;
// -1 with the reason in error when any step before that failed.
pid_t launch(const Launch& l, std::string& error);
// Waits for the programs launch() started that have ended since: a caller that lives
// on after starting them (the lab server restarting devices) would otherwise keep
// each as a zombie until it ends. Only those pids are waited for, never any other
// child's.
void reapLaunched();

// The process's one-letter state from /proc (R, S, T, Z, ...), 0 when there is none.
char processState(pid_t pid);
// True when the process exists, is not a zombie and its argv[0] is program.
bool isRunning(pid_t pid, const std::string& program);
// True when the process's network namespace is the named one.
bool inNetns(pid_t pid, const std::string& name);
// True when one of the process's descriptors is the file (same device and inode).
bool holdsOpen(pid_t pid, const struct stat& file);
// Its command line, arguments joined by blanks ("" when gone).
std::string commandLine(pid_t pid);
// Every process whose network namespace is one of the named ones.
std::vector<pid_t> processesInNamespaces(const std::vector<std::string>& names);
// True when a named network namespace exists.
bool netnsExists(const std::string& name);

}  // namespace lcfleet
