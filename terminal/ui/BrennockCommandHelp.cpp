#include "BrennockCommandHelp.h"

#include "ConsoleScript.h"

manual::CommandHelp brennockCommandHelp()
{
    manual::CommandHelp h;
    h.program = QStringLiteral("brennock");
    h.summary = QStringLiteral("terminal and program loader for the Vantrel QX2");
    h.forms = {
        {QStringLiteral("brennock [FILE]"),
         QStringLiteral(
             "The terminal window: the instrument's console on the stored COM Port. FILE is "
             "opened and loaded like a recent file. When a brennock window already runs for "
             "this user, FILE is handed to that window, which loads it and comes to the "
             "front; the second start then ends.")},
        {QStringLiteral("brennock --load FILE [--port COMn|DEVICE] [--baud N] "
                        "[--download-baud N]"),
         QStringLiteral(
             "Load FILE into the instrument without a window, as the Load command does: "
             ".BIN is converted and its .RUN loaded; .RUN, .APP, .PXE and hex files "
             "(.S19, .HEX, .RHX, .AHX) are loaded through the boot monitor; anything else is "
             "sent as text with CAPTURE. The instrument's text and the CRC report go to "
             "standard output, progress and failures to standard error.")},
        {QStringLiteral("brennock --load FILE --port A --port B ... [--baud N] "
                        "[--download-baud N]"),
         QStringLiteral(
             "Load FILE into every port named, all at once, each port on its own: one that "
             "fails or goes away does not hold up the others. A .BIN is converted once "
             "first. Standard error shows a progress line per port (redrawn in place on a "
             "terminal, plain lines otherwise) and each port's failures, named by the port; "
             "at the end standard output has a table: port, result (ok or failed), the CRC "
             "report line, seconds. The instruments' own text is not shown. The script "
             "steps need a single port.")},
        {QStringLiteral("brennock [--load FILE] [--port COMn|DEVICE] [--baud N] STEP ..."),
         QStringLiteral(
             "A console script without a window, its steps in the order given (after the "
             "load, when there is one). The console text goes to standard output as it "
             "arrives, with control characters escaped when standard output is a terminal. "
             "Steps: --send, --expect, --fail-on, --timeout, --capture and --break (see "
             "Options).")},
        {QStringLiteral("brennock --postlink FILE.BIN [FILE.BIN ...]"),
         QStringLiteral("Convert 68000 linker outputs into load images (.RUN, .APP, .PXE), "
                        "S-records and relocated maps beside them, without a window; the "
                        "names written are printed on standard output.")},
        {QStringLiteral("brennock --help | --version"),
         QStringLiteral("Print the command-line help, or the version, and end.")},
    };
    h.description = QStringLiteral(
        "brennock talks to the QX2 over one serial port (RS-232 or the instrument's USB "
        "virtual COM port). To open the port your user must be allowed to: on Debian, "
        "join the dialout group (sudo adduser $USER dialout, then log in again).");
    h.sections = {
        {QStringLiteral("Options"),
         QString(),
         {
             {QStringLiteral("--load FILE"), QStringLiteral("the file to load (see above)")},
             {QStringLiteral("--port COMn|DEVICE"),
              QStringLiteral("with --load: the port, as a COM name, a device path or a port "
                             "server's rfc2217://HOST:PORT; "
                             "default: the stored COM Port. Given more than once (only with "
                             "--load alone), the file goes to every port at once")},
             {QStringLiteral("--baud N"),
              QStringLiteral("with --load: the terminal rate; default: the stored Baud Rate")},
             {QStringLiteral("--download-baud N"),
              QStringLiteral("with --load: the rate of block downloads; default: the stored "
                             "Baud Rate Bk Download")},
             {QStringLiteral("--send TEXT"),
              QStringLiteral("script step: send TEXT (C escapes \\r \\n \\t \\xNN \\\\) with "
                             "the stored paste pacing")},
             {QStringLiteral("--expect REGEX"),
              QStringLiteral("script step: wait until the console text matches REGEX")},
             {QStringLiteral("--fail-on REGEX"),
              QStringLiteral("script step: from here on, a match ends the run as failed")},
             {QStringLiteral("--timeout SECONDS"),
              QStringLiteral("script step: the time-out of the expects that follow; default "
                             "%1 seconds")
                  .arg(ConsoleScript::kDefaultTimeoutS)},
             {QStringLiteral("--capture FILE"),
              QStringLiteral("script step: the console text of the whole run into FILE, with "
                             "CR LF line ends, written when the run ends")},
             {QStringLiteral("--break"), QStringLiteral("script step: send BREAK")},
             {QStringLiteral("--postlink FILE.BIN ..."),
              QStringLiteral("convert the linker outputs named (see above)")},
             {QStringLiteral("--help, -h"), QStringLiteral("print the command-line help")},
             {QStringLiteral("--version"), QStringLiteral("print the program's version")},
         }},
        {QStringLiteral("Serial port names"),
         QStringLiteral(
             "Ports are named as the instrument's documentation names them: COM1, COM3, ... "
             "A name is resolved to a device by an explicit binding in the settings file, "
             "section [Ports], for example COM3=/dev/ttyUSB0 or a stable "
             "/dev/serial/by-id/... link; otherwise by the Unix rule COMn = /dev/ttyS(n-1). "
             "The Communication Settings dialog shows the device a name resolves to and "
             "binds one of the devices present. A port is opened exclusively."),
         {}},
        {QStringLiteral("Exit status"),
         QString(),
         {
             {QStringLiteral("0"), QStringLiteral("success: the window was closed, the load "
                                                  "succeeded (on every port), every file was "
                                                  "converted")},
             {QStringLiteral("1"), QStringLiteral("the load failed or the port could not be "
                                                  "opened (with several ports: on any of "
                                                  "them); a conversion failed; a script's "
                                                  "expect timed out, its fail-on matched or "
                                                  "the line was lost")},
             {QStringLiteral("2"), QStringLiteral("a usage error")},
         }},
        {QStringLiteral("Files"),
         QString(),
         {
             {QStringLiteral("~/.config/Vantrel/Brennock.ini"),
              QStringLiteral("the settings: COM Settings, [Ports] bindings, font, colours, "
                             "capture, recent files and the load paths")},
             {QStringLiteral("/usr/share/brennock/help/brennock-help.html"),
              QStringLiteral("the guide that Help > Contents opens")},
             {QStringLiteral("$XDG_RUNTIME_DIR/brennock-instance"),
              QStringLiteral("the socket through which a second start hands its FILE to the "
                             "running window")},
         }},
        {QStringLiteral("Environment"),
         QString(),
         {
             {QStringLiteral("XDG_CONFIG_HOME"),
              QStringLiteral("where the settings live instead of ~/.config")},
             {QStringLiteral("XDG_RUNTIME_DIR"),
              QStringLiteral("the private folder of the single-instance socket")},
             {QStringLiteral("BRENNOCK_INSTANCE_NAME"),
              QStringLiteral("the single-instance socket's name instead of the default, so "
                             "that a second, independent window can run")},
             {QStringLiteral("DISPLAY, WAYLAND_DISPLAY"),
              QStringLiteral("the desktop session the window needs; --load, the script "
                             "steps and --postlink need none")},
         }},
    };
    h.seeAlso = QStringLiteral("harbrooklink(1), qx2sim(1)");
    return h;
}
