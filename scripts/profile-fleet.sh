#!/usr/bin/env bash
# Where a device's turn spends its time: profiles a small streaming fleet of
# simulators and one of baseline devices (the minimal C loop), brought up and
# driven by the fleet benchmark. Each fleet's window is split in three parts:
#   1. nothing attached: CPU per device (user/system from the tick counters,
#      on-CPU time from schedstat), wake-ups (voluntary context switches), and
#      the host's system, soft-interrupt and stolen shares from /proc/stat;
#   2. `perf record -e cpu-clock -a -g`: every sample of the devices sorted by
#      its call chain into the kernel's network path, the readiness test, sleep
#      and scheduler, console output, other kernel work and user space (our own
#      code, libc), in microseconds per turn, plus the top symbols;
#   3. `perf trace -s` on the devices (strace -c -f when perf trace fails):
#      system calls per turn by kind; a turn is one wait: an epoll_pwait2, a
#      ppoll (older builds, or a descriptor an epoll set refuses), or a
#      clock_nanosleep for programs that sleep apart from their readiness test.
# Tracing slows the devices, so the frame rates the benchmark prints in a profile
# run are not benchmark figures.
#
# Usage: scripts/profile-fleet.sh [--devices N] [--seconds S] [--only simulator|baseline]
#                                 [--out DIR] [--build DIR] [--bin PATH]
#   --devices  fleet size (default 10)       --seconds  window, split in three (default 15)
#   --out      where the reports, perf data and the benchmark's output go
#              (default a fresh /tmp/profile-fleet.XXXXXX)
#   --bin      the simulator to profile (default the build's), e.g. an older one
# Needs root, perf, and a build (default <repo>/build) with fleet_bench. Relative
# DIR names are taken from the current folder.
set -euo pipefail

NOMINAL_TURNS=200  # turns per second and device at 5 ms

# ---- collecting (run by fleet_bench --during, once per window) -------------

# "utime stime runNs waitNs voluntary involuntary" summed over the pids, read by one
# process so that every pid is read at nearly the same moment.
process_counters() {
    local files=() pid
    for pid in $FLEET_PIDS; do files+=("/proc/$pid/stat" "/proc/$pid/schedstat" "/proc/$pid/status"); done
    awk 'FILENAME ~ /\/stat$/ { sub(/^.*\) /, ""); u += $12; s += $13; next }
         FILENAME ~ /schedstat$/ { r += $1; w += $2; next }
         $1 == "voluntary_ctxt_switches:" { v += $2 }
         $1 == "nonvoluntary_ctxt_switches:" { n += $2 }
         END { printf "%.0f %.0f %.0f %.0f %.0f %.0f\n", u, s, r, w, v, n }' "${files[@]}" 2>/dev/null
}

host_counters() { awk '$1 == "cpu" { print $2, $3, $4, $5, $6, $7, $8, $9; exit }' /proc/stat; }

# Phase 1: counters over T seconds with nothing attached.
measure_counters() {
    local p0 p1 h0 h1 s0 s1 t
    s0=$EPOCHREALTIME; p0=$(process_counters); h0=$(host_counters)
    sleep "$1"
    s1=$EPOCHREALTIME; p1=$(process_counters); h1=$(host_counters)
    t=$(awk -v a="$s0" -v b="$s1" 'BEGIN { print b - a }')
    awk -v p0="$p0" -v p1="$p1" -v h0="$h0" -v h1="$h1" -v t="$t" -v n="$FLEET_DEVICES" \
        -v hz="$(getconf CLK_TCK)" -v nominal="$NOMINAL_TURNS" 'BEGIN {
        split(p0, a); split(p1, b); split(h0, c); split(h1, d)
        for (i = 1; i <= 6; i++) g[i] = b[i] - a[i]
        total = 0; for (i = 1; i <= 8; i++) { hd[i] = d[i] - c[i]; total += hd[i] }
        cpu = g[3] / 1e9 / t / n * 100
        ticks = g[1] + g[2]
        user = ticks ? cpu * g[1] / ticks : 0; sys = ticks ? cpu * g[2] / ticks : 0
        turns = nominal * t * n
        printf "CPU per device        %.3f%% of one core (user %.3f%%, system %.3f%%; system/user %.1f)\n",
               cpu, user, sys, user ? sys / user : 0
        printf "CPU per turn          %.1f us (user %.1f us, system %.1f us), at %d turns/s\n",
               g[3] / 1e3 / turns, user / 100 * 1e6 / nominal, sys / 100 * 1e6 / nominal, nominal
        printf "wake-ups per device   %.1f/s voluntary (%.2f per turn), %.1f/s involuntary\n",
               g[5] / t / n, g[5] / turns, g[6] / t / n
        printf "waiting to run        %.2f%% of the time per device (%.1f us per turn)\n",
               g[4] / 1e9 / t / n * 100, g[4] / 1e3 / turns
        if (total > 0)
            printf "host (all CPUs)       busy %.1f%%, user %.1f%%, system %.1f%%, softirq %.1f%%, stolen %.1f%%\n",
                   100 - (hd[4] + hd[5]) * 100 / total, (hd[1] + hd[2]) * 100 / total, hd[3] * 100 / total,
                   hd[7] * 100 / total, hd[8] * 100 / total
    }'
}

# Phase 3: system calls of the devices over T seconds, per turn by kind.
trace_syscalls() {
    local t=$1 raw=$2 pids
    pids=$(echo "$FLEET_PIDS" | tr ' ' ',')
    if timeout $((t + 30)) perf trace -s -p "$pids" -- sleep "$t" >"$raw" 2>&1 && grep -q 'calls' "$raw"; then
        echo "(perf trace -s over ${t} s)"
    else
        local args=() pid
        for pid in $FLEET_PIDS; do args+=(-p "$pid"); done
        timeout -s INT "$t" strace -c -f "${args[@]}" >"$raw" 2>&1 || true
        echo "(strace -c -f over ${t} s; perf trace did not work)"
    fi
}

report_syscalls() {
    local t=$1 raw=$2
    # Both tools print rows whose name is the last field (strace) or the first (perf trace).
    awk -v t="$t" -v n="$FLEET_DEVICES" '
        /^ *-+/ || /syscall/ || /^ *$/ || /Summary/ || /events,/ || /total/ || /msec/ { next }
        $1 ~ /^[a-z_0-9]+$/ && $2 ~ /^[0-9]+$/ { calls[$1] += $2; next }          # perf trace
        NF >= 5 && $NF ~ /^[a-z_0-9]+$/ && $4 ~ /^[0-9]+$/ { calls[$NF] += $4 }     # strace
        END {
            waits = calls["epoll_pwait2"] ? "epoll_pwait2" : calls["ppoll"] ? "ppoll" : "clock_nanosleep"
            turns = calls[waits]
            if (turns == 0) { print "no epoll_pwait2, ppoll or clock_nanosleep seen: cannot count turns"; exit }
            printf "turns                 %.1f/s per device (one %s per turn)\n", turns / t / n, waits
            all = 0
            for (s in calls) all += calls[s]
            printf "system calls per turn %.3f in all\n", all / turns
            for (s in calls) printf "  %-20s %.3f\n", s, calls[s] / turns | "sort -k2 -rn"
        }' "$raw"
}

# Sorts each sample of the devices by its call chain; prints microseconds per turn.
classify_samples() {
    local data=$1 comm=$2 binary=$3 seconds=$4
    perf script -i "$data" -F comm,period,ip,sym,dso 2>/dev/null | awk -v comm="$comm" -v bin="$binary" \
        -v turns="$((NOMINAL_TURNS * seconds * FLEET_DEVICES))" \
        -v irqhelpers='^(pvm_irq_enable|__raw_callee_save_pvm_irq_enable|_raw_spin_unlock_irqrestore|_raw_spin_unlock_irq|_raw_spin_unlock_bh|__local_bh_enable_ip|native_irq_enable|arch_local_irq_enable)$' '
        function flush() {
            if (!have) return
            all += period
            if (name != comm) { other += period; have = 0; return }
            kind = ""
            if (chain ~ / (net_rx_action|__netif_receive_skb[a-z_.0-9]*|process_backlog|br_handle_frame|veth_xmit|netif_rx[a-z_]*) /)
                kind = "network: delivery (veth, bridge, netfilter, IP, UDP, wake-up of the receiver)"
            else if (chain ~ / (__sys_sendto|udp_sendmsg|__x64_sys_sendto|ip_output|__dev_queue_xmit) /)
                kind = "network: send path (sendto down to the veth)"
            else if (chain ~ / (__sys_recvfrom|__x64_sys_recvfrom|udp_recvmsg) /)
                kind = "network: receive system call (recvfrom)"
            # A readiness test that waits sleeps in it: that part counts as sleep.
            else if (chain ~ / (__x64_sys_clock_nanosleep|do_nanosleep|hrtimer_nanosleep|__schedule|schedule|finish_task_switch[a-z_.0-9]*|try_to_wake_up|hrtimer_interrupt|__sysvec_apic_timer_interrupt) /)
                kind = "sleep, timers and scheduler"
            else if (chain ~ / (do_sys_poll|__x64_sys_poll|__x64_sys_ppoll|do_select|__x64_sys_select|__x64_sys_pselect6|do_epoll_wait|ep_poll|__x64_sys_epoll_pwait2|__x64_sys_epoll_wait) /)
                kind = "readiness test (poll/select/epoll)"
            else if (chain ~ / (__x64_sys_write|ksys_write|vfs_write|tty_write|pipe_write|file_tty_write[a-z_.0-9]*) /)
                kind = "console output (write)"
            # On this VM a sample taken while interrupts are off lands where they come back
            # on, often the first user instruction after a system call: such samples count
            # for that call.
            else if (leafsym ~ /^(clock_nanosleep|__clock_nanosleep)/)
                kind = "sleep, timers and scheduler"
            else if (leafsym ~ /^(__poll|poll|__libc_poll|ppoll|select|epoll_pwait2|__epoll_pwait2|epoll_wait)/)
                kind = "readiness test (poll/select/epoll)"
            else if (leafsym ~ /^(__libc_sendto|sendto|__send)/)
                kind = "network: send path (sendto down to the veth)"
            else if (leafsym ~ /^(__libc_recvfrom|recvfrom)/)
                kind = "network: receive system call (recvfrom)"
            else if (leafdso ~ /kernel/)
                kind = "other kernel (system call entry and exit, interrupts, page faults)"
            else if (leafdso == bin)
                kind = "user: our code"
            else if (leafdso ~ /libc/)
                kind = "user: libc"
            else
                kind = "user: other"
            part[kind] += period
            mine += period
            key = leafsym " [" leafshort "]"
            if (leafdso != bin && leafdso !~ /kernel/ && caller != "") key = key " from " caller
            self[key] += period
            have = 0
        }
        /^[^ \t]/ { flush(); name = $1; for (i = 2; i < NF && $i !~ /^[0-9]+$/; i++) name = name " " $i
                    period = $NF + 0; chain = " "; leafdso = ""; caller = ""; have = 1; next }
        /^[ \t]+[0-9a-f]+ / { sym = $2; sub(/\+0x[0-9a-f]+$/, "", sym); chain = chain sym " "
                              dso = $NF; gsub(/[()]/, "", dso)
                              if (leafdso == "") {
                                  leafdso = dso; leafsym = sym; leafshort = dso; sub(/^.*\//, "", leafshort)
                              } else if (leafsym ~ irqhelpers) {
                                  # A sample taken while interrupts were off lands where they come
                                  # back on: name the function that turned them back on.
                                  if (sym !~ irqhelpers) leafsym = sym " (interrupts re-enabled)"
                              } else if (caller == "" && dso == bin) caller = sym
                              next }
        /^$/ { flush() }
        END {
            flush()
            if (all == 0) { print "no samples"; exit }
            printf "device samples        %.1f%% of all CPU time sampled (%.1f%% other programs and idle)\n",
                   mine * 100 / all, other * 100 / all
            printf "time per turn         %.1f us per device turn in all, by call chain:\n", mine / 1e3 / turns
            for (k in part)
                printf "  %6.1f us  %5.1f%%  %s\n", part[k] / 1e3 / turns, part[k] * 100 / mine, k | "sort -rn"
            close("sort -rn")
            print "top functions by self time (us per turn; a library function with its caller in our code when the stack shows it):"
            for (k in self) printf "  %6.2f us  %s\n", self[k] / 1e3 / turns, k | "sort -rn | awk \"NR <= 15\""
            close("sort -rn | awk \"NR <= 15\"")
        }'
}

collect() {
    local out=$1 kind=${FLEET_KIND:?run by fleet_bench --during} t comm
    t=$((FLEET_SECONDS / 3))
    ((t >= 1)) || t=1
    comm=$(basename "$FLEET_BIN" | cut -c1-15)
    local report=$out/$kind.txt
    {
        echo "### $kind: $FLEET_DEVICES devices, ${t} s per part; load average $(cut -d' ' -f1-3 /proc/loadavg)"
        echo
        echo "-- counters, nothing attached (${t} s)"
        measure_counters "$t"
    } >"$report"
    local r0 r1
    r0=$(process_counters)
    perf record -q -e cpu-clock -a -g -o "$out/$kind.perf.data" -- sleep "$t" >"$out/$kind.record.log" 2>&1 || true
    r1=$(process_counters)
    local how
    how=$(trace_syscalls "$t" "$out/$kind.syscalls.raw")
    {
        echo
        echo "-- system calls $how"
        report_syscalls "$t" "$out/$kind.syscalls.raw"
        echo
        echo "-- perf record -e cpu-clock -a -g (${t} s)"
        if [[ -s $out/$kind.perf.data ]]; then
            awk -v a="$r0" -v b="$r1" -v turns="$((NOMINAL_TURNS * t * FLEET_DEVICES))" 'BEGIN {
                split(a, x); split(b, y)
                printf "on-CPU time meanwhile %.1f us per turn (schedstat), to compare with the samples below\n",
                       (y[3] - x[3]) / 1e3 / turns }'
            classify_samples "$out/$kind.perf.data" "$comm" "$FLEET_BIN" "$t"
        else
            echo "perf record failed: $(tail -n 2 "$out/$kind.record.log")"
        fi
    } >>"$report" 2>&1
}

# ---- driving -------------------------------------------------------------------

fail() { echo "profile-fleet.sh: $*" >&2; echo "Try 'scripts/profile-fleet.sh --help'." >&2; exit 2; }

main() {
    local devices=10 seconds=15 only=() out="" build="" bin=() repo
    repo=$(cd "$(dirname "$0")/.." && pwd)
    while (($#)); do
        case $1 in
            -h|--help) sed -n '2,/^set -e/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
            --collect|--devices|--seconds|--only|--out|--build|--bin) (($# >= 2)) || fail "$1 needs a value" ;;&
            --collect) collect "$2"; exit 0 ;;
            --devices) [[ $2 =~ ^[1-9][0-9]{0,3}$ ]] || fail "--devices takes a number from 1 to 9999, got '$2'"
                       devices=$2; shift ;;
            --seconds) [[ $2 =~ ^[1-9][0-9]{0,4}$ ]] || fail "--seconds takes a number of seconds, got '$2'"
                       seconds=$2; shift ;;
            --only) [[ $2 == simulator || $2 == baseline ]] || fail "--only takes simulator or baseline, got '$2'"
                    only=(--only "$2"); shift ;;
            --out) out=$(realpath -m -- "$2"); shift ;;     # relative names from the current folder
            --build) build=$(realpath -m -- "$2"); shift ;;
            --bin) [[ -x $2 && -f $2 ]] || fail "--bin: no program at '$2'"
                   bin=(--bin "$(realpath -- "$2")"); shift ;;
            *) fail "unknown argument '$1'" ;;
        esac
        shift
    done
    [[ $(id -u) -eq 0 ]] || { echo "profile-fleet.sh needs root (namespaces, perf)" >&2; exit 1; }
    [[ -n $build ]] || build=$repo/build
    cd "$repo"
    scripts/install-deps.sh linux-perf strace
    local bench=$build/bench/fleet/fleet_bench
    [[ -x $bench ]] || { echo "no $bench: build first (scripts/build.sh $build)" >&2; exit 1; }
    [[ -n $out ]] || out=$(mktemp -d /tmp/profile-fleet.XXXXXX)
    mkdir -p "$out"
    local self
    self=$(pwd)/scripts/profile-fleet.sh
    "$bench" --devices "$devices" --seconds "$seconds" --rounds 1 --no-search "${only[@]}" "${bin[@]}" \
        --prefix "lcprof" --state "/run/lcfleet-prof" \
        --during "$(printf '%q --collect %q' "$self" "$out")" >"$out/bench.txt" 2>&1 || {
        echo "fleet_bench failed; its output:" >&2
        cat "$out/bench.txt" >&2
        exit 1
    }
    local kind
    for kind in simulator baseline; do
        [[ -r $out/$kind.txt ]] && { cat "$out/$kind.txt"; echo; }
    done
    echo "(reports, perf data and the benchmark's own output in $out)"
}

main "$@"
