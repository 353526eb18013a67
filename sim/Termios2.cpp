// The termios2 request returns the output speed as a number, so a client that
// set a non-standard rate (BOTHER) is reported exactly. Kept apart because the
// kernel's <asm/termbits.h> clashes with the C library's <termios.h>.
#include <QtGlobal>

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace qx2sim
{

bool readTermios2Speed(int fd, qint64* outputSpeed)
{
#ifdef TCGETS2
    struct termios2 t {
    };
    if (ioctl(fd, TCGETS2, &t) != 0)
        return false;
    *outputSpeed = static_cast<qint64>(t.c_ospeed);
    return true;
#else
    Q_UNUSED(fd);
    Q_UNUSED(outputSpeed);
    return false;
#endif
}

} // namespace qx2sim
