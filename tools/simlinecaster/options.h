// The simulator's command line: options before the instance, then the instance and
// the optional PCM file.
#pragma once

// How the console and the events reach their readers.
enum class LogMode {
    Text,   // the console on standard output, lines overwritten with "\r" as they come
    Lines,  // the same, every entry ending in a line feed
    Json,   // the events on standard output, the console on standard error
};

struct CommandLine {
    const char* pszEvents = nullptr;  // --events FILE
    LogMode logMode = LogMode::Text;
    int operand = 1;            // index in argv of the instance (argc when none follows)
    char szError[160] = "";     // why the options were refused
};

// Reads the options before the instance: "--events FILE", "--log MODE" (also written
// "--events=FILE", "--log=MODE"), and "--" to end them. The first argument that is
// none of these is the instance. False with a one-line reason when an option lacks
// its value or names an unknown mode.
bool parseCommandLine(int argc, char** argv, CommandLine& cl);
