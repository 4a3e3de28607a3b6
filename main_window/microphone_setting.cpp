#include "main_window/microphone_setting.h"

#include "audio/virtual_microphone.h"

#include <QSettings>

#include <memory>

namespace {

const QString Key = QStringLiteral("microphone/on");

// $XDG_CONFIG_HOME/zembra/zembra.conf
std::unique_ptr<QSettings> settings()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                       QStringLiteral("zembra"), QStringLiteral("zembra"));
}

} // namespace

MicrophoneSetting::MicrophoneSetting(VirtualMicrophone &microphone, QObject *parent)
    : QObject(parent)
    , microphone_(microphone)
    , on_(settings()->value(Key, false).toBool())
{
    if (on_)
        microphone_.request(true);
}

void MicrophoneSetting::setOn(bool on)
{
    if (on == on_)
        return;
    on_ = on;
    settings()->setValue(Key, on);
    microphone_.request(on);
    emit changed(on);
}

void MicrophoneSetting::removeNow()
{
    microphone_.removeNow();
}
