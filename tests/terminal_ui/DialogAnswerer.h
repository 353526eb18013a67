// Answers the modal dialogs a command opens, in order, as a user would: every few
// milliseconds it looks for a modal dialog it has not answered yet and hands it to
// the next answer. A dialog with no answer left is cancelled, so a test never hangs.
#pragma once

#include <QApplication>
#include <QDialog>
#include <QList>
#include <QStringList>
#include <QTimer>

#include <functional>

class DialogAnswerer : public QObject
{
public:
    using Answer = std::function<void(QDialog*)>;

    DialogAnswerer()
    {
        timer.setInterval(5);
        connect(&timer, &QTimer::timeout, this, &DialogAnswerer::look);
        timer.start();
    }
    void add(Answer answer) { answers.append(std::move(answer)); }
    QStringList titles; // the dialogs met, in order

    static Answer cancel()
    {
        return [](QDialog* dialog) { dialog->reject(); };
    }

private:
    void look()
    {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!dialog || !dialog->isVisible() || dialog->property("answered").toBool())
            return;
        dialog->setProperty("answered", true);
        titles << dialog->windowTitle();
        if (answers.isEmpty()) {
            dialog->reject();
            return;
        }
        answers.takeFirst()(dialog);
    }

    QTimer timer;
    QList<Answer> answers;
};
