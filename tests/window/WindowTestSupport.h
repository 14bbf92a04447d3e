#pragma once

// Helpers for Qt Test programs that drive the whole window: a window whose
// boxes are recorded instead of shown, waits on the event loop, and reaching
// into the form in its turn among the commands.
#include "console/window/MainWindow.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QList>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <future>
#include <memory>

namespace windowtest {

// The window with its boxes recorded, not shown.
class TQuietWindow : public TMainWindow {
public:
    using TMainWindow::TMainWindow;
    QStringList Boxes;

protected:
    void PresentMessageBox(QMessageBox::Icon, const QString&, const QString& text) override { Boxes << text; }
    bool PresentFileDialog(const QString&, const QString&, QString&, TFileDialogKind) override { return false; }
};

// Runs the event loop until the predicate holds, re-checking after the posted
// events and on a short poll; false when the time-out passes.
inline bool WaitUntil(const std::function<bool()>& predicate, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!predicate()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents();
        QTest::qWait(5);
    }
    return true;
}

inline bool WaitIdle(TMainWindow& window, int timeoutMs)
{
    if (window.IsIdle())
        return true;
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&window, &TMainWindow::BecameIdle, &loop, &QEventLoop::quit);
    QObject::connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    deadline.start(timeoutMs);
    loop.exec();
    return window.IsIdle();
}

template <typename T>
T* Find(QWidget& window, const char* name)
{
    T* widget = window.findChild<T*>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}

// Clicks a button and waits until the command it queued has ended.
inline bool ClickAndWait(TMainWindow& window, const char* button, int timeoutMs = 20000)
{
    Find<QPushButton>(window, button)->click();
    return WaitIdle(window, timeoutMs);
}

// Runs fn on the form in its turn among the commands and hands back its result.
template <typename R>
R ReadForm(TMainWindow& window, std::function<R(TForm1&)> fn)
{
    auto result = std::make_shared<std::promise<R>>();
    auto future = result->get_future();
    window.PostToForm([result, fn](TForm1& form) { result->set_value(fn(form)); });
    if (!WaitIdle(window, 10000))
        qFatal("the form did not answer");
    return future.get();
}

}  // namespace windowtest
