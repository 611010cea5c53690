#include "hello_filter.h"

#include <sys/socket.h>

#include "core/Controller_if.h"
#include "core/LineCaster_if.h"

using namespace lc;

namespace {

constexpr uint32_t kDrop = 0;
constexpr uint32_t kKeep = 0xFFFFFFFFu;
constexpr uint32_t kUdpHeader = kHelloFilterPayloadOffset;
constexpr uint32_t payloadByte(uint32_t n) { return kUdpHeader + n; }

constexpr sock_filter stmt(uint16_t code, uint32_t k) { return sock_filter{code, 0, 0, k}; }
constexpr sock_filter jump(uint16_t code, uint32_t k, uint8_t jt, uint8_t jf) { return sock_filter{code, jt, jf, k}; }

constexpr uint16_t kLoadLength = BPF_LD | BPF_W | BPF_LEN;
constexpr uint16_t kLoadByte = BPF_LD | BPF_B | BPF_ABS;
constexpr uint16_t kJumpEqual = BPF_JMP | BPF_JEQ | BPF_K;
constexpr uint16_t kJumpAtLeast = BPF_JMP | BPF_JGE | BPF_K;
constexpr uint16_t kReturn = BPF_RET | BPF_K;

}  // namespace

// Jump offsets count the instructions skipped; the numbers on the right are the
// instructions' indexes. A byte beyond the end reads as zero to the handler, which
// never matches here, so each test first makes sure its bytes arrived (a load
// beyond the end would end the program with a drop).
const sock_filter kHelloFilter[] = {
    stmt(kLoadLength, 0),                              //  0 A = UDP header + payload
    jump(kJumpAtLeast, payloadByte(2), 0, 19),         //  1 payload under 2 bytes: keep (21)
    stmt(kLoadByte, payloadByte(1)),                   //  2 A = byte 1
    jump(kJumpEqual, CmdHelloWithInformation, 18, 0),  //  3 announcement: drop (22)
    jump(kJumpEqual, CmdAttributeAnnouncement, 17, 0), //  4 attribute-list announcement: drop
    jump(kJumpEqual, CmdCode64, 16, 0),                //  5 code 64: drop
    jump(kJumpEqual, 0x46, 2, 0),                      //  6 'F': "SFK"? (9)
    jump(kJumpEqual, CmdAdapterCommand, 7, 0),         //  7 status report? (15)
    stmt(kReturn, kKeep),                              //  8
    stmt(kLoadLength, 0),                              //  9 "SFK" needs 3 bytes
    jump(kJumpAtLeast, payloadByte(3), 0, 10),         // 10 else keep (21)
    stmt(kLoadByte, payloadByte(0)),                   // 11
    jump(kJumpEqual, 0x53, 0, 8),                      // 12 'S', else keep (21)
    stmt(kLoadByte, payloadByte(2)),                   // 13
    jump(kJumpEqual, 0x4B, 7, 6),                      // 14 'K': drop (22), else keep (21)
    stmt(kLoadLength, 0),                              // 15 a status report needs byte 6
    jump(kJumpAtLeast, payloadByte(7), 0, 4),          // 16 else keep (21)
    stmt(kLoadByte, payloadByte(0)),                   // 17
    jump(kJumpEqual, kMagic, 0, 2),                    // 18 else keep (21)
    stmt(kLoadByte, payloadByte(6)),                   // 19
    jump(kJumpEqual, SubCmdStatus, 1, 0),              // 20 drop (22), else keep (21)
    stmt(kReturn, kKeep),                              // 21
    stmt(kReturn, kDrop),                              // 22
};
const int kHelloFilterLength = sizeof kHelloFilter / sizeof kHelloFilter[0];

bool attachHelloFilter(int fd) {
    sock_fprog prog{static_cast<unsigned short>(kHelloFilterLength), const_cast<sock_filter*>(kHelloFilter)};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) == 0;
}
