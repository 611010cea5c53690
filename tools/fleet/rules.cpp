#include "rules.h"

namespace lcfleet {

std::string lossRuleset(int percent) {
    // Declaring the table first makes the delete succeed whether or not it existed.
    // The netdev hooks sit on the device's interface itself, so a dropped datagram is
    // lost silently as on a bad cable: the device's send still succeeds.
    std::string text = "table netdev lcfleet_loss {}\ndelete table netdev lcfleet_loss\n";
    if (percent <= 0) return text;
    // numgen's values are 0..99, and nft refuses a comparison with 100: all is all.
    std::string rule = percent >= 100 ? "\t\tmeta l4proto udp drop\n"
                                      : "\t\tmeta l4proto udp numgen random mod 100 < " + std::to_string(percent) +
                                            " drop\n";
    text += "table netdev lcfleet_loss {\n"
            "\tchain in {\n\t\ttype filter hook ingress device \"eth0\" priority filter; policy accept;\n" + rule +
            "\t}\n"
            "\tchain out {\n\t\ttype filter hook egress device \"eth0\" priority filter; policy accept;\n" + rule +
            "\t}\n"
            "}\n";
    return text;
}

std::vector<std::string> delayArgs(int ms, int jitterMs) {
    if (ms <= 0) return {"tc", "qdisc", "del", "dev", "eth0", "root"};
    std::vector<std::string> args = {"tc", "qdisc", "replace", "dev", "eth0", "root", "netem", "delay",
                                     std::to_string(ms) + "ms"};
    if (jitterMs > 0) args.push_back(std::to_string(jitterMs) + "ms");
    return args;
}

bool netemMissing(const std::string& tcOutput) {
    return tcOutput.find("qdisc kind is unknown") != std::string::npos ||
           tcOutput.find("Unknown qdisc") != std::string::npos;
}

}  // namespace lcfleet
