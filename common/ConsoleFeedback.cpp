#include "ConsoleFeedback.h"

MessageResult ConsoleFeedback::message(const QString& text, const QString& caption,
                                       MessageIcon icon, MessageButtons buttons,
                                       MessageResult defaultResult)
{
    Q_UNUSED(icon);
    const QByteArray line =
        (caption + QLatin1String(": ") + messageTextForDisplay(text) + QLatin1Char('\n'))
            .toLocal8Bit();
    std::fwrite(line.constData(), 1, size_t(line.size()), out_);
    std::fflush(out_);
    return buttons == MessageButtons::Ok ? MessageResult::Ok : defaultResult;
}
