#pragma once

#include <QObject>

class VirtualMicrophone;

// "Mikrofona da çal": whether the pad also plays into "Zembra mikrofonu". The
// choice is kept beside the captions (PadSettings: microphone/on), written
// only when the user changes it, and applied at the next start.
class MicrophoneSetting : public QObject {
    Q_OBJECT
public:
    // Applies the kept choice from the event loop, without waiting for the
    // sound server.
    explicit MicrophoneSetting(VirtualMicrophone &microphone, QObject *parent = nullptr);

    bool isOn() const { return on_; }
    // The user's change: kept and applied.
    void setOn(bool on);
    // For the ways out that end the process at once: the microphone goes now,
    // the kept choice stays.
    void removeNow();

signals:
    void changed(bool on);

private:
    VirtualMicrophone &microphone_;
    bool on_ = false;
};
