// Card names for uploaded files. The card runs a DOS file system, so each local
// file gets an 8.3 name: the base cut to 8 and the suffix to 3 characters,
// characters outside [0-9A-Za-z-_.] made '_', "SETUP*" always SETUP.CFG,
// upper case; a clash with an earlier name of the same job gets a counter.
#pragma once

#include <QString>
#include <QStringList>

namespace shortnames
{

// The short names for these local file names (paths or bare names), in order.
QStringList makeShortNames(const QStringList& localNames);

// Why a card name typed by the user cannot be used; empty when it can.
QString problemWith(const QString& name);
// The first problem of a whole job's names (each name, then two alike, letter
// case ignored); empty when there is none. The text names the row's name.
QString problemWithNames(const QStringList& names);

} // namespace shortnames
