// The kernel's side of the network faults: the nftables rule set of a random loss and
// the tc netem command of a delay, both applied inside a device's namespace.
#pragma once

#include <string>
#include <vector>

namespace lcfleet {

// Input for `nft -f -` that replaces the loss table in one transaction: with percent
// 0 it only removes it. The rules drop that share of the datagrams the device sends
// and receives on eth0 (netdev ingress and egress hooks), each by a fresh random number.
std::string lossRuleset(int percent);

// `tc` arguments that set (ms > 0) or remove (ms 0) the delay on the device's eth0.
std::vector<std::string> delayArgs(int ms, int jitterMs);

// True when tc's complaint says the kernel lacks the netem queueing discipline.
bool netemMissing(const std::string& tcOutput);

}  // namespace lcfleet
