#include "core/bridge/Worker.hpp"

#include <QMetaObject>

#include "audiocore/platform/FailureText.hpp"

namespace corvaline::app {

// The engine words every failure for the user, the same way for the app and the command line.
QString alertText(const std::exception& error) {
    return QString::fromStdString(describeFailure(error));
}

QString alertText(const std::exception_ptr& error) {
    return QString::fromStdString(describeFailure(error));
}

void Worker::post(QObject* context, std::function<void()> call) {
    QMetaObject::invokeMethod(context, std::move(call), Qt::QueuedConnection);
}

}  // namespace corvaline::app
