#include "main_window/microphone_setting.h"

#include "audio/virtual_microphone.h"
#include "effects/pad_settings.h"

MicrophoneSetting::MicrophoneSetting(VirtualMicrophone &microphone, QObject *parent)
    : QObject(parent)
    , microphone_(microphone)
    , on_(PadSettings::microphoneOn())
{
    if (on_)
        microphone_.request(true);
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
