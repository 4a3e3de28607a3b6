#include "main_window/microphone_setting.h"

#include "audio/virtual_microphone.h"
#include "effects/pad_settings.h"

#include <QTimer>

MicrophoneSetting::MicrophoneSetting(VirtualMicrophone &microphone, QObject *parent)
    : QObject(parent)
    , microphone_(microphone)
    , on_(PadSettings::microphoneOn())
{
    // Once the window is up: the server's modules and nodes would otherwise be
    // made while the first window is, on the same cores.
    if (on_)
        QTimer::singleShot(0, this, [this] {
            if (on_)
                microphone_.request(true);
        });
}

void MicrophoneSetting::setOn(bool on)
{
    if (on == on_)
        return;
    on_ = on;
    PadSettings::setMicrophoneOn(on);
    microphone_.request(on);
    emit changed(on);
}

void MicrophoneSetting::removeNow()
{
    microphone_.removeNow();
}
