#include "ShortNames.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

namespace shortnames
{

namespace
{
QString cleaned(const QString& text)
{
    static const QRegularExpression outside(QStringLiteral("[^0-9A-Za-z\\-_.]"));
    QString out = text;
    out.replace(outside, QStringLiteral("_"));
    return out;
}

QString candidate(const QString& base, const QString& ext)
{
    return (base + QLatin1Char('.') + ext).toUpper();
}
} // namespace

QStringList makeShortNames(const QStringList& localNames)
{
    QStringList chosen;
    for (const QString& local : localNames) {
        const QFileInfo info(local);
        QString base = cleaned(info.completeBaseName().left(8));
        QString ext = cleaned(info.suffix().left(3));
        if (base.left(5).compare(QLatin1String("SETUP"), Qt::CaseInsensitive) == 0) {
            base = QStringLiteral("SETUP");
            ext = QStringLiteral("CFG");
        }
        QString name = candidate(base, ext);
        int i = 0;
        while (chosen.contains(name)) {
            // The first 7 characters and 0-9, then 6 and 10-19, 5 and 20-29, ...
            // From i = 80 on nothing of the base is left to give up, so the counter
            // alone is the base: still at most 8 characters, still unique.
            const int keep = qMax(0, 7 - i / 10);
            base = base.left(keep) + QString::number(i);
            ++i;
            name = candidate(base, ext);
        }
        chosen.append(name);
    }
    return chosen;
}

QString problemWith(const QString& name)
{
    static const QRegularExpression form(
        QStringLiteral("^[0-9A-Za-z\\-_]{1,8}(\\.[0-9A-Za-z\\-_]{0,3})?$"));
    if (name.isEmpty())
        return QStringLiteral("a card name is empty");
    if (!form.match(name).hasMatch()) {
        return QStringLiteral("\"%1\" is not a DOS 8.3 name (up to 8 characters, a dot and up "
                              "to 3 characters; letters, digits, '-' and '_')")
            .arg(name);
    }
    return {};
}

QString problemWithNames(const QStringList& names)
{
    QSet<QString> seen;
    for (const QString& name : names) {
        const QString problem = problemWith(name);
        if (!problem.isEmpty())
            return problem;
        const QString key = name.toUpper();
        if (seen.contains(key))
            return QStringLiteral("\"%1\" is given to two files").arg(name);
        seen.insert(key);
    }
    return {};
}

} // namespace shortnames
