#include "CommSettings.h"

QStringList commBaudRateChoices()
{
    return {QStringLiteral("1200"),  QStringLiteral("2400"),  QStringLiteral("9600"),
            QStringLiteral("19200"), QStringLiteral("38400"), QStringLiteral("57600"),
            QStringLiteral("115200"), QStringLiteral("230400")};
}

QStringList commParityChoices()
{
    return {QStringLiteral("None"), QStringLiteral("Even"), QStringLiteral("Odd")};
}

QStringList commDataBitsChoices()
{
    return {QStringLiteral("7"), QStringLiteral("8")};
}

QStringList commStopBitsChoices()
{
    return {QStringLiteral("1"), QStringLiteral("2")};
}

QStringList commFlowControlChoices()
{
    return {QStringLiteral("Hardware"), QStringLiteral("Software"), QStringLiteral("None")};
}

int parityCodeOf(const QString& parity)
{
    if (parity == QLatin1String("Even"))
        return 2;
    if (parity == QLatin1String("Odd"))
        return 1;
    return 0;   // "None", and anything unknown ("Mark"): no parity
}

int stopBitsCodeOf(const QString& stopBits)
{
    return stopBits == QLatin1String("2") ? 2 : 0;
}

int flowControlFlagsOf(const QString& flowControl)
{
    if (flowControl == QLatin1String("Software"))
        return 16;
    if (flowControl == QLatin1String("None"))
        return 0;
    return 3;   // "Hardware", and anything else
}
