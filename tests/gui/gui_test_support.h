// What the desktop program's tests share: suites registered by name (one executable, one
// CTest test per suite), running code on the next modal window, and a log sink that records.
#pragma once

#include "host/run/message_log.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kelvra::gui::test {

using SuiteFactory = std::function<std::unique_ptr<QObject>()>;

inline std::map<std::string, SuiteFactory> &Suites() {
    static std::map<std::string, SuiteFactory> suites;
    return suites;
}

inline bool RegisterSuite(const char *name, SuiteFactory factory) {
    Suites()[name] = std::move(factory);
    return true;
}

#define KELVRA_GUI_SUITE(name, Class) \
    static const bool registered_##Class = ::kelvra::gui::test::RegisterSuite(name, [] { return std::make_unique<Class>(); })

// Runs `fn` on the next modal window as soon as it is shown (from inside its event loop).
// The returned watcher may be deleted to give up waiting; it deletes itself once done.
inline QPointer<QTimer> OnNextModal(std::function<void(QWidget *)> fn, QWidget *not_this = nullptr) {
    auto *timer = new QTimer;
    timer->setInterval(5);
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    QObject::connect(timer, &QTimer::timeout, [timer, fn, not_this, elapsed] {
        QWidget *modal = QApplication::activeModalWidget();
        if (modal != nullptr && modal != not_this && modal->isVisible()) {
            timer->stop();
            timer->deleteLater();
            fn(modal);
        } else if (elapsed->elapsed() > 10000) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
    return timer;
}

// Runs `fn` on the next popup menu as soon as it is shown.
inline QPointer<QTimer> OnNextPopup(std::function<void(QMenu *)> fn) {
    auto *timer = new QTimer;
    timer->setInterval(5);
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    QObject::connect(timer, &QTimer::timeout, [timer, fn, elapsed] {
        auto *menu = qobject_cast<QMenu *>(QApplication::activePopupWidget());
        if (menu != nullptr && menu->isVisible()) {
            timer->stop();
            timer->deleteLater();
            fn(menu);
        } else if (elapsed->elapsed() > 10000) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start();
    return timer;
}

// Gives up waiting for a modal window that did not come.
inline void Cancel(const QPointer<QTimer> &watcher) { delete watcher.data(); }

// A child of `parent` by its template id.
template <typename T = QWidget>
T *Control(const QObject *parent, int id) {
    return parent->findChild<T *>(QStringLiteral("ctl%1").arg(id));
}

// Records what a message log hands over, on the thread that writes to it.
class RecordingSink : public run::ILogSink {
public:
    void AppendLine(const run::LogEntry &entry) override { lines.push_back(entry); }
    void ReplaceLiveLine(const run::LogEntry &entry) override { lines.push_back(entry); }
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (const auto &l : lines) out.push_back(l.text);
        return out;
    }
    std::vector<run::LogEntry> lines;
};

}  // namespace kelvra::gui::test
