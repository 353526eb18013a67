// The names under which the settings are stored.
#pragma once

#include <QCoreApplication>

inline void applyAppIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tamsen Scientific Inc."));
    QCoreApplication::setOrganizationDomain(QStringLiteral("tamsen-scientific.example"));
    QCoreApplication::setApplicationName(QStringLiteral("HarbrookLink 2018"));
}
