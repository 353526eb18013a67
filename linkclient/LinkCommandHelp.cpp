#include "LinkCommandHelp.h"

manual::CommandHelp linkCommandHelp()
{
    manual::CommandHelp h;
    h.program = QStringLiteral("harbrooklink");
    h.summary = QStringLiteral("link-transfer client for the Vantrel QX2's CF card");
    h.forms = {
        {QStringLiteral("harbrooklink [--port DEVICE]..."),
         QStringLiteral("the window; ports named here join the port list, the first is "
                        "selected")},
        {QStringLiteral("harbrooklink --port DEVICE ls [DIR]"),
         QStringLiteral("list the card folder DIR (C:\\ when absent; '/' or '\\' between "
                        "names): name, TAB, size in bytes or <DIR>, TAB, date and time, one "
                        "entry a line")},
        {QStringLiteral("harbrooklink --port DEVICE get [--from DIR] [--to LOCALDIR] NAME..."),
         QStringLiteral("download the files NAME of the card folder DIR into LOCALDIR "
                        "(default: the current folder); each file takes its name only when "
                        "it arrived whole")},
        {QStringLiteral("harbrooklink --port DEVICE put [--to DIR] FILE [--name NAME] "
                        "[FILE [--name NAME]]..."),
         QStringLiteral("upload local files into the card folder DIR; card names are made "
                        "8.3 by the program's rule unless --name after a FILE gives one")},
        {QStringLiteral("harbrooklink --port DEVICE settime"),
         QStringLiteral("set the instrument's clock to the PC's time in UTC; prints the "
                        "answer")},
        {QStringLiteral("harbrooklink --help | --version"),
         QStringLiteral("print the command-line help, or the version, and end")},
    };
    h.description = QStringLiteral(
        "The Skiffer link server must be running on the instrument (type SKIFFER at its "
        "console). Listings and answers go to standard output; log lines and progress to "
        "standard error.\n\n"
        "Names and text from the instrument are printed with control characters escaped "
        "(\\t, \\r, \\033 ...), as GNU ls escapes them; get takes a name as ls printed it.\n\n"
        "To open the serial device your user must be allowed to: on Debian, join the "
        "dialout group (sudo adduser $USER dialout, then log in again).");
    h.sections = {
        {QStringLiteral("Options"),
         QString(),
         {
             {QStringLiteral("--port DEVICE"),
              QStringLiteral("the serial device, for example /dev/ttyACM0 or a "
                             "/dev/serial/by-id/... link; also --port=DEVICE. DEVICE is a path "
                             "when it holds a '/' or names an existing file (./qx2); any other "
                             "name is a device in /dev (ttyUSB0). A port on a port server "
                             "(ser2net) is rfc2217://HOST:PORT")},
             {QStringLiteral("--from DIR"), QStringLiteral("get: the card folder to read")},
             {QStringLiteral("--to LOCALDIR | DIR"),
              QStringLiteral("get: the local folder to write; put: the card folder to write")},
             {QStringLiteral("--name NAME"),
              QStringLiteral("put: the card name of the FILE before it")},
             {QStringLiteral("--help, -h"), QStringLiteral("print the command-line help")},
             {QStringLiteral("--version"), QStringLiteral("print the program's version")},
         }},
        {QStringLiteral("Serial port names"),
         QStringLiteral("The window lists the serial devices present and prefers the "
                        "instrument's USB virtual COM port; the port last used is "
                        "remembered. The command line takes a device path."),
         {}},
        {QStringLiteral("Exit status"),
         QString(),
         {
             {QStringLiteral("0"), QStringLiteral("success")},
             {QStringLiteral("1"), QStringLiteral("the instrument did not answer or refused, "
                                                  "or a file did not arrive whole; the window "
                                                  "found no display")},
             {QStringLiteral("2"), QStringLiteral("a usage error")},
         }},
        {QStringLiteral("Files"),
         QString(),
         {
             {QStringLiteral("~/.config/Tamsen Scientific Inc./HarbrookLink 2018.conf"),
              QStringLiteral("the window's settings: port, font size, window size")},
             {QStringLiteral("/usr/share/harbrooklink/help/HarbrookLinkUserGuide.html"),
              QStringLiteral("the user guide that Help opens (in a build tree: help/ beside "
                             "the program)")},
         }},
        {QStringLiteral("Environment"),
         QString(),
         {
             {QStringLiteral("XDG_CONFIG_HOME"),
              QStringLiteral("where the settings live instead of ~/.config")},
             {QStringLiteral("HARBROOKLINK_DEBUG"),
              QStringLiteral("when set, the commands print the link's diagnostic lines too")},
             {QStringLiteral("DISPLAY, WAYLAND_DISPLAY"),
              QStringLiteral("the desktop session the window needs; the commands need none")},
         }},
    };
    h.seeAlso = QStringLiteral("brennock(1), qx2sim(1)");
    return h;
}
