#pragma once

#include <QCoreApplication>
#include <QMetaObject>
#include <QPointer>

#include <exception>
#include <optional>
#include <thread>
#include <utility>

namespace widgets {

/**
 * Runs `work` on a thread of its own, so that the window's thread never waits on it (a signing component may take
 * up to its module's time limit), and hands what it returned to `done(window, result)` on the window's thread. `done`
 * gets the window as a QPointer that is set when it is called; a box it shows may outlive the window, so it looks
 * again after one. An exception of `work` leaves the thread as `failed(window)`, when the window still exists, and
 * is then thrown on the window's thread, where the program's error handling takes it.
 */
template <typename Window, typename Work, typename Done, typename Failed>
void runAside(Window* window, Work work, Done done, Failed failed)
{
    std::thread([window = QPointer<Window>(window),
                 work = std::move(work),
                 done = std::move(done),
                 failed = std::move(failed)]() mutable {
        std::optional<decltype(work())> result;
        std::exception_ptr failure;
        try {
            result.emplace(work());
        } catch (...) {
            failure = std::current_exception();
        }
        if (QCoreApplication::instance() == nullptr) {
            return;
        }
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [window,
             result = std::move(result),
             failure,
             done = std::move(done),
             failed = std::move(failed)]() mutable {
                if (failure) {
                    if (window) {
                        failed(*window);
                    }
                    std::rethrow_exception(failure);
                }
                if (window) {
                    done(window, std::move(*result));
                }
            },
            Qt::QueuedConnection);
    }).detach();
}

//! The same for work that does not throw, or whose exception needs nothing of the window first.
template <typename Window, typename Work, typename Done> void runAside(Window* window, Work work, Done done)
{
    runAside(window, std::move(work), std::move(done), [](Window&) {});
}

} // namespace widgets
