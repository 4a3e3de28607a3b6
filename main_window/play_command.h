#pragma once

// zembra --play N (or -p N): presses button N of the Zembra already running,
// through its session-bus service, and ends. It needs no display and opens no
// sound device, and it never starts a Zembra of its own, which would play the
// intro. It uses the D-Bus library alone: a shortcut's press does not wait for
// Qt to be mapped and relocated.
namespace PlayCommand {

// Whether the arguments ask for a press, and not for --help or --version.
bool isAsked(int argc, char *argv[]);

// Exit codes: 0 pressed, 1 no Zembra answered, 2 no button of that number.
int run(int argc, char *argv[]);

} // namespace PlayCommand
