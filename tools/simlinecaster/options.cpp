#include "options.h"

#include <cstdio>
#include <cstring>

namespace {

// The value of option name at argv[i]: "name=value" or "name" followed by the
// value; advances i past what it used. Null when argv[i] is not this option.
const char* optionValue(int argc, char** argv, int& i, const char* name, bool& missing) {
    size_t n = std::strlen(name);
    if (std::strncmp(argv[i], name, n) != 0) return nullptr;
    if (argv[i][n] == '=') return argv[i++] + n + 1;
    if (argv[i][n] != '\0') return nullptr;
    if (i + 1 >= argc) {
        missing = true;
        return nullptr;
    }
    i += 2;
    return argv[i - 1];
}

bool parseLogMode(const char* text, LogMode& mode) {
    if (std::strcmp(text, "text") == 0) mode = LogMode::Text;
    else if (std::strcmp(text, "lines") == 0) mode = LogMode::Lines;
    else if (std::strcmp(text, "json") == 0) mode = LogMode::Json;
    else return false;
    return true;
}

}  // namespace

bool parseCommandLine(int argc, char** argv, CommandLine& cl) {
    int i = 1;
    while (i < argc) {
        bool missing = false;
        if (std::strcmp(argv[i], "--") == 0) {
            ++i;
            break;
        }
        if (const char* file = optionValue(argc, argv, i, "--events", missing)) {
            if (*file == '\0') {
                std::snprintf(cl.szError, sizeof cl.szError, "--events needs a file name");
                return false;
            }
            cl.pszEvents = file;
        } else if (const char* mode = optionValue(argc, argv, i, "--log", missing)) {
            if (!parseLogMode(mode, cl.logMode)) {
                std::snprintf(cl.szError, sizeof cl.szError, "--log takes text, lines or json, not \"%.40s\"", mode);
                return false;
            }
        } else if (missing) {
            std::snprintf(cl.szError, sizeof cl.szError, "%.20s needs a value", argv[i]);
            return false;
        } else {
            break;
        }
    }
    cl.operand = i;
    return true;
}
