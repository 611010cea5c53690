#include "help.h"

namespace lcctl {

namespace {

const char kOverview[] =
    "lcctl: talk to LineCaster devices (and simlinecaster) on the local network\n"
    "\n"
    "Usage: lcctl [OPTIONS] COMMAND [ARGUMENTS] [OPTIONS]\n"
    "       lcctl --version\n"
    "\n"
    "Commands:\n"
    "  discover [--seconds N] [--count N]    list the devices that announce themselves\n"
    "  configure DEVICE [options]            make this host the device's master\n"
    "  play DEVICE [options]                 stream from the device to this host\n"
    "  stop DEVICE                           send stop play\n"
    "  keep DEVICE                           send keep play\n"
    "  set-serial CURRENT NEW [options]      give a device a new serial number\n"
    "  set-ip SERIAL [options]               send network settings to a device\n"
    "  watch [--seconds S] [--timeout MS] [--json]\n"
    "                                        list the devices live: found, changed,\n"
    "                                        removed\n"
    "\n"
    "DEVICE is the device's IPv4 address (commands go to its UDP port 4001) or its\n"
    "serial number, which is looked up in the announcements on 239.255.84.83:4002\n"
    "(waiting up to --wait MS, default 3000). set-serial and set-ip go to that group\n"
    "on port 4002 (or, with --to ADDRESS, to ADDRESS:4002).\n"
    "\n"
    "Options may come before the command or after it. For every command:\n"
    "  --interface A   the interface that joins the group and sends multicast: one\n"
    "                  of its IPv4 addresses or its name (default: the kernel's\n"
    "                  route)\n"
    "  --wait MS       how long to wait for the device to answer (default 3000;\n"
    "                  not for discover); see each command's text\n"
    "  --json          results as JSON objects, one a line (every key in\n"
    "                  /usr/share/doc/simlinecaster/docs/json.md)\n"
    "  --help, -h      this text; 'lcctl COMMAND --help' describes one command\n"
    "  --version       print the version of lcctl\n"
    "\n"
    "With --json, text is written as UTF-8; a byte that is not part of valid\n"
    "UTF-8 (a file name in another encoding) comes out as U+FFFD.\n"
    "\n"
    "Exit codes:\n"
    "  0  success\n"
    "  1  a socket, bind or file operation failed\n"
    "  2  bad arguments\n"
    "  3  no device answered in time (no announcement, no audio frame, the\n"
    "     expected change did not show, or fewer devices than discover --count)\n"
    "  4  another device than the one named answered: several devices share its\n"
    "     address and ports, and a command to the address reaches only one\n"
    "  5  play: the stream stopped before the end of play (no frame for\n"
    "     --max-stall MS, default 1000)\n";

const char kDiscover[] =
    "Usage: lcctl discover [--seconds N] [--count N] [--json]\n"
    "\n"
    "Listens on 239.255.84.83 port 4002 for N seconds (default 3, decimals allowed)\n"
    "and lists each device heard, in order of serial numbers: serial number,\n"
    "address, its master's address, software version and how often it announced;\n"
    "then the status reports seen. A device reports its status every 5 s, so a\n"
    "missing report means something only after a listen longer than that.\n"
    "With --count N it ends as soon as N devices announced themselves, and exits\n"
    "with code 3 when the N seconds run out first (what it heard is listed all\n"
    "the same). With --json every device and every status is one JSON object per\n"
    "line. Exit code 3 when no device announced itself.\n"
    "\n"
    "Status reports go to the master's port 4002. When the master is this host and\n"
    "a simulator runs here too, the kernel hands such a unicast report to only one\n"
    "of the sockets sharing the port, so it may not show; discover says so. For\n"
    "the same reason a controller on this host that shares port 4002 may miss\n"
    "unicast datagrams while lcctl listens.\n";

const char kConfigure[] =
    "Usage: lcctl configure DEVICE [options]\n"
    "\n"
    "Sends a configure command: the device takes this host as its master and\n"
    "reports its status here. Waits up to --wait MS (default 3000) for an\n"
    "announcement naming this host as master, or a status report; exit code 3\n"
    "when neither comes. When DEVICE is a serial number and another device at\n"
    "the same address took the configure instead, lcctl says so and exits with\n"
    "code 4 (devices on one host share its address and ports).\n"
    "\n"
    "  --master-serial N   serial number of the master (default 1)\n"
    "  --master-ip A       master address written into the command (default: this\n"
    "                      host's address towards the device)\n"
    "  --level PCT         input level in percent at which the input counts as on\n"
    "                      (default 20)\n"
    "  --auto-sense        set the auto-sense switch\n"
    "  --on-wait MS        on wait time (default 1000)\n"
    "  --off-wait MS       how long the level must stay low before the input counts\n"
    "                      as off (default 3000)\n"
    "  --play-timeout MS   play time-out stored in the configuration (default 3000)\n"
    "  --multi-master      status reports go to the group instead of this host\n"
    "  --serial N          serial number written into the command (default 0, or\n"
    "                      DEVICE when it is a serial; the device does not check it)\n"
    "  --wait MS           how long to wait for the device's announcement (DEVICE a\n"
    "                      serial) and for the confirmation (default 3000)\n"
    "  --json              one JSON object at the end: what was sent and how it\n"
    "                      ended\n";

const char kPlay[] =
    "Usage: lcctl play DEVICE [options]\n"
    "\n"
    "Configures the device (see 'lcctl configure --help'), starts play towards this\n"
    "host, keeps it alive and receives the audio frames. Shows one live line each\n"
    "second (rate in frames/s and kHz, sequence gaps, late frames, input level from\n"
    "the status), sends stop play at the end or on Ctrl-C and prints a summary.\n"
    "\n"
    "  --port P          local UDP port for the audio (default: any free port)\n"
    "  --seconds S       how long to play (default 10; 0 plays until Ctrl-C)\n"
    "  --timeout MS      play time-out sent with start play (default 3000; 0 keeps\n"
    "                    the device's own); keep play goes out well within it\n"
    "  --wav FILE        write what arrived, in arrival order, as a 48 kHz 16-bit\n"
    "                    stereo WAV file; - (or a FILE that is standard output)\n"
    "                    writes it to standard output, and every other line goes to\n"
    "                    standard error\n"
    "  --max-stall MS    end play (exit code 5) when no frame came for MS (default\n"
    "                    1000, at least 100); none: never, play waits out every\n"
    "                    stall and sends start play again once one is longer than\n"
    "                    the play time-out\n"
    "  --late MS         a frame counts as late when its transit time exceeds the\n"
    "                    shortest one seen by more than MS (default 50)\n"
    "  --json            one JSON object per line (start, progress each second,\n"
    "                    each stall as it ends, summary)\n"
    "  --no-configure    leave the device's master alone (status only arrives if\n"
    "                    this host already is its master)\n"
    "  --multi-master, --master-serial, --master-ip, --level, --auto-sense,\n"
    "  --on-wait, --off-wait, --serial: as for configure\n"
    "  --wait MS         how long to wait for the device's announcement (DEVICE a\n"
    "                    serial) and for the first frame (default 3000)\n"
    "\n"
    "When the device runs on this host (its address is one of this host's), its\n"
    "unicast status to port 4002 would reach only one of the sockets that share the\n"
    "port; play then configures multi-master mode so that the status goes to the\n"
    "group, and says so. Exit code 3 when no frame arrived.\n"
    "\n"
    "A time of 0.5 s or more without a frame is a stall: play says when it began\n"
    "and how long it lasted once the frames come back, and the summary lists every\n"
    "stall. When no frame arrives for --max-stall MS (another controller sent stop\n"
    "play or took the stream over, or the device went away), play says that the\n"
    "stream stopped, ends with the summary, sends no stop play (the stream may be\n"
    "another controller's now) and exits with code 5. When DEVICE is a serial\n"
    "number and another device at the same address streams instead (its status\n"
    "names this host's port, or the device named does not take the configure),\n"
    "play stops it, says so and exits with code 4.\n";

const char kStop[] =
    "Usage: lcctl stop DEVICE [--serial N] [--wait MS] [--json]\n"
    "\n"
    "Sends stop play to DEVICE:4001. The device does not acknowledge it. --wait\n"
    "MS: how long to wait for the announcement of DEVICE given as a serial\n"
    "(default 3000). --json: one JSON object saying what was sent.\n";

const char kKeep[] =
    "Usage: lcctl keep DEVICE [--serial N] [--wait MS] [--json]\n"
    "\n"
    "Sends keep play to DEVICE:4001. The device does not acknowledge it. --wait\n"
    "MS: how long to wait for the announcement of DEVICE given as a serial\n"
    "(default 3000). --json: one JSON object saying what was sent.\n";

const char kSetSerial[] =
    "Usage: lcctl set-serial CURRENT NEW [--hw T] [--date T] [--comment T] [--to A]\n"
    "\n"
    "Asks the device with serial CURRENT to take serial NEW (the device ignores the\n"
    "message when CURRENT is not its serial). Goes to 239.255.84.83:4002, or to A:4002\n"
    "with --to. First waits up to --wait MS (default 3000) for the device announcing\n"
    "CURRENT, then as long for its announcement with the new serial; exit code 3 when\n"
    "either does not come (the message is sent all the same). When a device at its\n"
    "address announces NEW already, only CURRENT falling silent shows the change.\n"
    "\n"
    "  --hw T, --date T   texts of at most 9 bytes, shown by the device\n"
    "  --comment T        text of at most 255 bytes, shown by the device\n"
    "  --to A             send to A:4002 instead of the group\n"
    "  --wait MS          how long to wait for each announcement (default 3000)\n"
    "  --json             one JSON object at the end: what was sent and how it ended\n";

const char kSetIP[] =
    "Usage: lcctl set-ip SERIAL [--server A] [--gateway A] [--nameserver A]\n"
    "                           [--netmask A] [--to A]\n"
    "\n"
    "Sends network settings to the device with serial SERIAL; only the addresses\n"
    "given are marked valid (at least one is needed). Goes to 239.255.84.83:4002, or\n"
    "to A:4002 with --to. The device does not acknowledge it; lcctl waits up to\n"
    "--wait MS (default 3000) for an announcement of SERIAL and exits with code 3\n"
    "when none comes. --json: one JSON object at the end.\n";

const char kWatch[] =
    "Usage: lcctl watch [--seconds S] [--timeout MS] [--json]\n"
    "\n"
    "Listens on 239.255.84.83 port 4002 and keeps a table of up to 200 devices by\n"
    "serial number, printing one line per change:\n"
    "  Found serial 529 at 198.18.0.3 master none software 103\n"
    "  Changed serial 529 at 198.18.0.3: master none -> 198.18.0.1\n"
    "  Removed serial 529 at 198.18.0.3 (no announcement for 3.5 s)\n"
    "Changed covers the master, the address, the software version, and a new serial\n"
    "number at a device's address (decided 1.5 s later: the old one fell silent,\n"
    "or both announce and the new one is Found). On a terminal the three kinds are\n"
    "green, yellow and red (not with NO_COLOR set); into a pipe or file, no colour.\n"
    "Past 200 devices it says once how many it cannot hold. Ends after S seconds\n"
    "(default: runs until Ctrl-C) with exit code 0 and a one-line summary.\n"
    "\n"
    "  --seconds S     how long to watch (decimals allowed; 0 or none: until Ctrl-C)\n"
    "  --timeout MS    silence after which a device counts as removed (default 3500,\n"
    "                  at least 1100)\n"
    "  --json          every change, and the summary, as one JSON object per line\n";

}  // namespace

const char* helpText(Verb verb) {
    switch (verb) {
        case Verb::Discover: return kDiscover;
        case Verb::Configure: return kConfigure;
        case Verb::Play: return kPlay;
        case Verb::Stop: return kStop;
        case Verb::Keep: return kKeep;
        case Verb::SetSerial: return kSetSerial;
        case Verb::SetIP: return kSetIP;
        case Verb::Watch: return kWatch;
        case Verb::None: break;
    }
    return kOverview;
}

std::string helpHint(Verb verb) {
    if (verb == Verb::None) return "Try 'lcctl --help'.";
    return std::string("Try 'lcctl ") + verbName(verb) + " --help'.";
}

std::string versionLine() { return std::string("lcctl ") + LC_VERSION; }

}  // namespace lcctl
