#pragma once
// The exit codes of the two converters, timthumb (through the Windows handler)
// and tim2png, so that scripts treat both alike. 4 is timthumb's alone:
// tim2png asks no handler; 7 is tim2png's, which reads regular files only.
enum ExitCode : int {
    kExitOk = 0,
    kExitRefused = 1,
    kExitBadArguments = 2,
    kExitInputUnreadable = 3,
    kExitNoHandler = 4,
    kExitOutputUnwritable = 5,
    kExitOtherFailure = 6,
    kExitNotAFile = 7,
};
