// The line format that the client has put on the pseudo-terminal, as the
// instrument's UART would see it: baud rate, data bits, parity, stop bits.
// On a Linux pty the slave's termios is shared by every open file of it, so
// reading it through the slave descriptor qx2sim holds shows what the client
// set through its own descriptor.
#pragma once

#include <QString>

namespace qx2sim
{

struct LineSettings {
    qint64 baud = 0; // 0 = unknown (B0 or no device)
    int dataBits = 8;
    char parity = 'N'; // 'N', 'E', 'O', 'M' (mark) or 'S' (space)
    int stopBits = 1;

    // Start bit + data bits + parity bit + stop bits: 10 for 8N1, 11 for 8N2 or 8E1.
    int bitsPerByte() const { return 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits; }

    // "115200 8N2"
    QString toString() const;
    // Reads "115200 8N2" back; false on anything else.
    static bool fromString(const QString& text, LineSettings* out);

    bool operator==(const LineSettings& o) const
    {
        return baud == o.baud && dataBits == o.dataBits && parity == o.parity &&
               stopBits == o.stopBits;
    }
    bool operator!=(const LineSettings& o) const { return !(*this == o); }
};

// Reads the settings of the terminal device fd (termios2 where the kernel has
// it, so non-standard rates come back exactly). A failed read yields baud 0.
LineSettings readLineSettings(int fd);

} // namespace qx2sim
