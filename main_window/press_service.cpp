#include "main_window/press_service.h"

#include "effects/effect_table.h"
#include "main_window/bus_names.h"
#include "main_window/microphone_setting.h"

#include <QDBusConnectionInterface>

const QString PressService::ServiceName = QLatin1String(BusNames::Service);
const QString PressService::ObjectPath = QLatin1String(BusNames::Object);

PressService::PressService(std::function<void(int)> press, QObject *parent)
    : QObject(parent)
    , press_(std::move(press))
{
}

void PressService::registerOn(QDBusConnection bus)
{
    if (!bus.isConnected())
        return;
    if (!bus.registerObject(ObjectPath, this,
                            QDBusConnection::ExportScriptableSlots |
                                QDBusConnection::ExportScriptableProperties))
        return;
    connection_ = bus.name();
    if (QDBusConnectionInterface *daemon = bus.interface())
        daemon->registerService(ServiceName, QDBusConnectionInterface::QueueService,
                                QDBusConnectionInterface::DontAllowReplacement);
}

void PressService::unregister()
{
    if (connection_.isEmpty())
        return;
    QDBusConnection bus(connection_);
    connection_.clear();
    bus.unregisterObject(ObjectPath);
    // A call, not a message: when it returns the bus has passed the name on.
    if (QDBusConnectionInterface *daemon = bus.interface())
        daemon->unregisterService(ServiceName);
}

void PressService::Press(int n)
{
    if (n < 1 || n > Effects::Count) {
        if (calledFromDBus())
            sendErrorReply(QDBusError::InvalidArgs,
                           QStringLiteral("Düğme numarası 1 ile %1 arasında olmalı: %2")
                               .arg(Effects::Count)
                               .arg(n));
        return;
    }
    press_(n);
}

bool PressService::intoMicrophone() const
{
    return microphone_ && microphone_->isOn();
}

void PressService::setIntoMicrophone(bool on)
{
    if (microphone_)
        microphone_->setOn(on);
    else if (calledFromDBus())
        sendErrorReply(QDBusError::NotSupported, QStringLiteral("Mikrofon bu kopyada yok"));
}
