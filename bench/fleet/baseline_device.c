/* baseline_device: the smallest device loop that puts the same load on the network
 * as simlinecaster, as a yardstick for the fleet benchmark. Per 5 ms turn: one
 * readiness test for both sockets, a receive when one is ready, a 1000-byte tone
 * frame built and its level measured, one send while streaming, a status every 5 s
 * to the master, the 43-byte announcement once a second, and a sleep to the next
 * deadline. It obeys configure, start play, keep play and stop play, and ignores
 * everything else.
 *
 * Usage: baseline_device INSTANCE   (serial 429 + 100 * INSTANCE); ends on SIGTERM/SIGINT.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define HELLO_PORT 4002
#define COMMAND_PORT 4001
#define HELLO_GROUP "239.255.84.83"
#define PERIOD_NS 5000000LL
#define MAX_LAG_NS 20000000LL
#define FRAME_BYTES 1000
#define HEADER_BYTES 40
#define PAYLOAD_BYTES 960
#define TONE_SAMPLES 240
#define COMMAND_BYTES 80
#define CONFIG_BYTES 70
#define STATUS_BYTES 129
#define HELLO_BYTES 43
#define HELLO_INTERVAL_MS 1000u
#define STATUS_INTERVAL_MS 5000u

/* Offsets in a device command (configuration record from byte 10). */
#define CMD_SUBCOMMAND 6
#define CMD_CONFIG 10
#define CFG_MASTER_SERIAL 0
#define CFG_PLAY_TIMEOUT 18
#define CFG_TARGET_IP 22
#define CFG_TARGET_PORT 26
#define CFG_TARGET_FIELDS_END 62 /* target address, ports and zone: bytes 22..61 */
#define CFG_MULTI_MASTER 62

static volatile sig_atomic_t stop_requested = 0;

static void on_stop(int sig) {
    (void)sig;
    stop_requested = 1;
}

static void put_le16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
static void put_le32(uint8_t* p, uint32_t v) {
    put_le16(p, (uint16_t)v);
    put_le16(p + 2, (uint16_t)(v >> 16));
}
static void put_be16(uint8_t* p, uint16_t v) {
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}
static void put_be32(uint8_t* p, uint32_t v) {
    put_be16(p, (uint16_t)(v >> 16));
    put_be16(p + 2, (uint16_t)v);
}
static uint16_t get_le16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }
static uint32_t get_le32(const uint8_t* p) { return get_le16(p) | ((uint32_t)get_le16(p + 2) << 16); }

static int64_t monotonic_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

/* Wall-clock milliseconds modulo 2^32, the tick a frame carries. */
static uint32_t tick_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint32_t)ts.tv_sec * 1000u + (uint32_t)(ts.tv_nsec / 1000000);
}

struct device {
    uint32_t serial;
    int half_period; /* tone half-period in samples */
    uint32_t master_ip; /* first octet most significant; 0 = none */
    int multi_master;
    uint32_t master_serial;
    uint8_t config[CONFIG_BYTES];
    int playing;
    uint32_t target_ip;
    uint16_t target_port;
    uint32_t play_timeout_ms;
    uint32_t keep_alive_ms;
    uint32_t sequence;
    uint32_t last_hello_ms;
    uint32_t last_status_ms;
    int level; /* peak of the last frame, percent of full scale */
};

/* ---- sockets ---------------------------------------------------------------- */

/* Interface address for the group join: the host name's first IPv4 address, or
 * "any" when the name cannot be resolved or maps to loopback. */
static struct in_addr join_interface(void) {
    struct in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    char name[512] = "";
    if (gethostname(name, sizeof name - 1) != 0) return any;
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo* result = NULL;
    if (getaddrinfo(name, NULL, &hints, &result) != 0 || result == NULL) return any;
    struct in_addr own = ((struct sockaddr_in*)result->ai_addr)->sin_addr;
    freeaddrinfo(result);
    return (ntohl(own.s_addr) >> 24) == 127 ? any : own;
}

static int open_socket(uint16_t port, const char* group) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(fd, (struct sockaddr*)&sa, sizeof sa) != 0) {
        fprintf(stderr, "baseline_device: bind to port %u failed: %s\n", port, strerror(errno));
        close(fd);
        return -1;
    }
    if (group) {
        struct ip_mreq mreq;
        mreq.imr_interface = join_interface();
        mreq.imr_multiaddr.s_addr = inet_addr(group);
        if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0)
            fprintf(stderr, "baseline_device: join %s failed: %s\n", group, strerror(errno));
    }
    return fd;
}

static void send_to(int fd, const void* data, size_t size, uint32_t ip, uint16_t port) {
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(ip);
    to.sin_port = htons(port);
    sendto(fd, data, size, 0, (struct sockaddr*)&to, sizeof to);
}

/* ---- messages ----------------------------------------------------------------- */

static void handle_command(struct device* d, const uint8_t* data, ssize_t count, const struct sockaddr_in* from,
                           uint32_t now) {
    if (count < 6 || data[1] != 0x50) return;
    uint8_t cmd[COMMAND_BYTES] = {0}; /* bytes that did not arrive read as zero */
    memcpy(cmd, data, (size_t)(count < COMMAND_BYTES ? count : COMMAND_BYTES));
    const uint8_t* cfg = cmd + CMD_CONFIG;
    switch ((cmd[CMD_SUBCOMMAND] << 8) | cmd[CMD_SUBCOMMAND + 1]) {
        case 1: { /* start play */
            memcpy(d->config + CFG_TARGET_IP, cfg + CFG_TARGET_IP, CFG_TARGET_FIELDS_END - CFG_TARGET_IP);
            d->target_ip = get_le32(cfg + CFG_TARGET_IP);
            d->target_port = get_le16(cfg + CFG_TARGET_PORT);
            uint32_t timeout = get_le32(cfg + CFG_PLAY_TIMEOUT);
            if (timeout >= 1000) d->play_timeout_ms = timeout;
            d->playing = 1;
            d->keep_alive_ms = now;
            break;
        }
        case 2: d->playing = 0; break;
        case 3: d->keep_alive_ms = now; break;
        case 4: /* configure: the sender becomes the master */
            d->master_ip = ntohl(from->sin_addr.s_addr);
            d->master_serial = get_le32(cfg + CFG_MASTER_SERIAL);
            d->multi_master = cfg[CFG_MULTI_MASTER] != 0;
            memcpy(d->config, cfg, CFG_PLAY_TIMEOUT + 4);
            d->config[CFG_MULTI_MASTER] = cfg[CFG_MULTI_MASTER];
            break;
        default: break;
    }
}

static void build_hello(const struct device* d, uint8_t* out) {
    memset(out, 0, HELLO_BYTES);
    out[0] = 103;
    out[1] = 34;
    out[2] = 29;
    put_le32(out + 3, d->serial);
    put_le32(out + 7, d->master_ip);
    put_le16(out + 11, 103);
    put_le32(out + 34, 1);
}

static void build_status(const struct device* d, uint8_t* out) {
    memset(out, 0, STATUS_BYTES);
    out[0] = 103;
    out[1] = 0x50;
    put_le32(out + 2, d->serial);
    put_le16(out + 6, 5);
    put_le16(out + 8, 4);
    put_le16(out + 10, 103);
    out[13] = (uint8_t)d->level;
    memcpy(out + 15, d->config, CONFIG_BYTES);
    out[85] = 1;
    put_le32(out + 89, d->master_serial);
}

/* Header as the simulator sends it, then the tone in the first 240 samples. */
static void build_frame(const struct device* d, uint8_t* frame, uint32_t now) {
    memset(frame, 0, FRAME_BYTES);
    memcpy(frame, "TMA1", 4);
    put_be16(frame + 4, 0x0103);
    frame[6] = 5;
    put_be32(frame + 10, d->sequence);
    put_be32(frame + 18, now);
    put_be16(frame + 32, PAYLOAD_BYTES);
    frame[34] = 5;
    frame[35] = 2;
    frame[36] = 16;
    uint8_t* payload = frame + HEADER_BYTES;
    int high = 0;
    for (int i = 0; i < TONE_SAMPLES; ++i) {
        if (i % d->half_period == 0) high = !high;
        put_le16(payload + 2 * i, (uint16_t)(high ? 1000 : -1000));
    }
}

/* Peak magnitude of the payload's 480 samples, in percent of full scale. */
static int measure_level(const uint8_t* payload) {
    int peak = 0;
    for (int i = 0; i < PAYLOAD_BYTES / 2; ++i) {
        int v = abs((int)(int16_t)get_le16(payload + 2 * i));
        if (v > peak) peak = v;
    }
    return peak * 100 / 32768;
}

/* ---- the loop --------------------------------------------------------------------- */

static void receive_one(int fd, struct device* d, uint8_t* buf, int commands, uint32_t now) {
    struct sockaddr_in from;
    socklen_t len = sizeof from;
    memset(&from, 0, sizeof from);
    ssize_t n = recvfrom(fd, buf, 1900, 0, (struct sockaddr*)&from, &len);
    if (commands) handle_command(d, buf, n, &from, now);
}

static void sleep_until(int64_t due_ns) {
    struct timespec ts = {(time_t)(due_ns / 1000000000LL), (long)(due_ns % 1000000000LL)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR && !stop_requested) {
    }
}

static void run(int hello_fd, int command_fd, struct device* d) {
    static uint8_t buf[2000];
    uint8_t hello[HELLO_BYTES], status[STATUS_BYTES];
    uint32_t group = ntohl(inet_addr(HELLO_GROUP));
    struct pollfd fds[2] = {{hello_fd, POLLIN, 0}, {command_fd, POLLIN, 0}};
    int64_t due = monotonic_ns();
    d->last_hello_ms = tick_ms() - HELLO_INTERVAL_MS - 1;
    while (!stop_requested) {
        uint32_t now = tick_ms(); /* one clock read serves the whole turn */
        if (now - d->last_hello_ms > HELLO_INTERVAL_MS) {
            d->last_hello_ms = now;
            build_hello(d, hello);
            send_to(hello_fd, hello, HELLO_BYTES, group, HELLO_PORT);
        }
        if (poll(fds, 2, 0) > 0) {
            if (fds[0].revents & POLLIN) receive_one(hello_fd, d, buf, 0, now);
            if (fds[1].revents & POLLIN) receive_one(command_fd, d, buf, 1, now);
        }
        if (d->playing && now - d->keep_alive_ms > d->play_timeout_ms) d->playing = 0;
        build_frame(d, buf, now);
        d->level = measure_level(buf + HEADER_BYTES);
        if (d->playing) {
            send_to(command_fd, buf, FRAME_BYTES, d->target_ip, d->target_port);
            d->sequence++;
        }
        /* The first status goes out in the turn of the first configure. */
        if (d->master_ip != 0 && (d->last_status_ms == 0 || now - d->last_status_ms > STATUS_INTERVAL_MS)) {
            d->last_status_ms = now;
            build_status(d, status);
            send_to(command_fd, status, STATUS_BYTES, d->multi_master ? group : d->master_ip, HELLO_PORT);
        }
        due += PERIOD_NS;
        int64_t t = monotonic_ns();
        if (t - due > MAX_LAG_NS) due = t; /* far behind: no burst to catch up */
        sleep_until(due);
    }
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: baseline_device INSTANCE\n");
        return 2;
    }
    int instance = atoi(argv[1]);
    struct device d;
    memset(&d, 0, sizeof d);
    d.serial = 429u + 100u * (uint32_t)instance;
    d.half_period = instance == 0 ? 120 : 80;
    d.sequence = 1;
    d.play_timeout_ms = 3000;
    d.config[9] = 20;
    put_le32(d.config + 10, 1000);
    put_le32(d.config + 14, 3000);
    put_le32(d.config + CFG_PLAY_TIMEOUT, 3000);

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop; /* no SA_RESTART: the sleep ends at once */
    sigaction(SIGTERM, &sa, NULL);
    sigaction(SIGINT, &sa, NULL);

    int hello_fd = open_socket(HELLO_PORT, HELLO_GROUP);
    int command_fd = open_socket(COMMAND_PORT, NULL);
    if (hello_fd < 0 || command_fd < 0) return 1;
    printf("baseline device SNR #%u\n", d.serial);
    fflush(stdout);
    run(hello_fd, command_fd, &d);
    close(command_fd);
    close(hello_fd);
    return 0;
}
