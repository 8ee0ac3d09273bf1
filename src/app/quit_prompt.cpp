#include "app/quit_prompt.h"

#include <QMetaMethod>
#include <QVariantMap>

namespace zoranth {
namespace {

// Calls a no-argument operation, whether C++ (returning bool or nothing) or QML
// (returning a variant); the result read as a Boolean.
bool call(QObject* object, const char* name) {
    if (object == nullptr) {
        return false;
    }
    const QMetaObject* meta = object->metaObject();
    const int index = meta->indexOfMethod(QByteArray(name) + "()");
    if (index < 0) {
        return false;
    }
    const QMetaMethod method = meta->method(index);
    if (method.returnMetaType() == QMetaType::fromType<bool>()) {
        bool result = false;
        method.invoke(object, Qt::DirectConnection, Q_RETURN_ARG(bool, result));
        return result;
    }
    if (method.returnMetaType() == QMetaType::fromType<QVariant>()) {
        QVariant result;
        method.invoke(object, Qt::DirectConnection, Q_RETURN_ARG(QVariant, result));
        return result.toBool();
    }
    method.invoke(object, Qt::DirectConnection);
    return true;
}

}  // namespace

bool ControllerQuitAdapter::isLive() const {
    return controller_ != nullptr &&
           controller_->property("state").toString() == QLatin1String("broadcasting");
}

std::int64_t ControllerQuitAdapter::guestCount() const {
    return controller_ != nullptr ? controller_->property("clients").toList().size() : 0;
}

bool ControllerQuitAdapter::weMuted() const {
    return controller_ != nullptr &&
           controller_->property("muteOwnership").toMap().value(QStringLiteral("weMuted")).toBool();
}

bool ControllerQuitAdapter::unmuteMac() {
    return call(controller_, "unmuteMac");
}

void ControllerQuitAdapter::stop() {
    call(controller_, "stop");
}

QuitPrompt::QuitPrompt(QuitCoordinator& coordinator, QObject* parent)
    : QObject(parent), coordinator_(coordinator) {}

QVariant QuitPrompt::question() {
    asked_ = coordinator_.shouldTerminate();
    if (!asked_) {
        return {};
    }
    return QVariantMap{
        {QStringLiteral("title"), asked_->title},
        {QStringLiteral("informativeText"), asked_->informativeText},
        {QStringLiteral("quitButton"), asked_->quitButton},
        {QStringLiteral("cancelButton"), asked_->cancelButton},
        {QStringLiteral("unmuteCheckbox"), asked_->unmuteCheckbox.value_or(QString())},
    };
}

bool QuitPrompt::answer(bool quitChosen, bool unmuteTicked) {
    if (!asked_) {
        return true;
    }
    const bool quit = coordinator_.answer(*asked_, quitChosen, unmuteTicked);
    asked_.reset();
    return quit;
}

}  // namespace zoranth
