// Code page 437, the character set of the instrument's console and of the OEM
// clipboard text that a paste sends.
//
// The instrument sends ASCII; the terminal shows the remaining byte values the way
// the console's own screen would: 128-255 as the CP437 letters and line drawing,
// 1-31 (except TAB) and 127 as the CP437 glyphs (so an ESC sequence stays visible
// as "←[2J" rather than vanishing). Line breaks never reach these tables: the
// translator has turned them into CR LF already.
#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>

namespace cp437
{

// The character shown for a received byte. NUL gives a null QChar: it is not shown.
QChar displayChar(unsigned char byte);

// The byte a shown character stands for: the inverse of displayChar, so a saved
// selection holds the bytes that were received. False when the character has none.
bool byteForDisplayChar(QChar ch, unsigned char* byte);

// Text to the bytes a paste sends: ASCII (control codes included) as itself, the
// CP437 letters and line drawing as their bytes, anything else as '?'. A character
// outside the basic plane is one '?', not two.
QByteArray fromUnicode(const QString& text);

} // namespace cp437
