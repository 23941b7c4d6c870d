// Runs a slow call (a mail or archiver library call) on a worker thread
// while the calling thread keeps handling Qt events, so windows stay alive
// and timers keep firing. Without an event loop to keep alive (no
// QCoreApplication, or not on its thread) the call simply runs in place.
#pragma once

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QThread>

#include <exception>
#include <optional>
#include <thread>
#include <type_traits>
#include <utility>

namespace kestrova {

template <class F> auto runOnWorker(F&& call) -> std::invoke_result_t<F&> {
    using Result = std::invoke_result_t<F&>;
    QCoreApplication* core = QCoreApplication::instance();
    if (!core || QThread::currentThread() != core->thread())
        return call();

    QEventLoop loop;
    std::exception_ptr failure;
    std::conditional_t<std::is_void_v<Result>, bool, std::optional<Result>> value{};
    std::thread worker([&] {
        try {
            if constexpr (std::is_void_v<Result>)
                call();
            else
                value.emplace(call());
        } catch (...) {
            failure = std::current_exception();
        }
        // Queued, so it is handled by the loop even when posted before
        // exec() starts.
        QMetaObject::invokeMethod(
            &loop, [&loop] { loop.quit(); }, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
    if (failure)
        std::rethrow_exception(failure);
    if constexpr (!std::is_void_v<Result>)
        return std::move(*value);
}

} // namespace kestrova
