// Text from the instrument shown on a terminal: control characters (C0, DEL,
// C1) become C escapes as `ls -b` writes them (\t, \r, \033 ...), so a card
// name cannot move the cursor, recolour the terminal or split a line.
#pragma once

#include <QString>

namespace textescape
{

// Control characters escaped; everything else, backslash included, as it is.
// For whole log lines, whose own text holds backslashes (C:\DATA).
QString escapeControls(const QString& text);
// A card name as `ls` prints it: control characters escaped and a backslash
// doubled, so that every printed name is one token that reads back unchanged.
QString escapeName(const QString& name);
// The reverse of escapeName; text that is not an escape stays as it is.
QString unescapeName(const QString& printed);

} // namespace textescape
