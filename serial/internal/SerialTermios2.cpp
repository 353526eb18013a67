#include "SerialTermios2.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <cerrno>

extern "C" int ioctl(int fd, unsigned long request, ...);

bool setArbitraryBaudRate(int fd, uint32_t rate, int* error)
{
    struct termios2 tio {
    };
    if (ioctl(fd, TCGETS2, &tio) != 0) {
        *error = errno;
        return false;
    }
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ospeed = rate;
    tio.c_ispeed = rate;
    if (ioctl(fd, TCSETS2, &tio) != 0) {
        *error = errno;
        return false;
    }
    return true;
}

bool readActualBaudRate(int fd, uint32_t* rate)
{
    struct termios2 tio {
    };
    if (ioctl(fd, TCGETS2, &tio) != 0 || tio.c_ospeed == 0)
        return false;
    *rate = tio.c_ospeed;
    return true;
}
