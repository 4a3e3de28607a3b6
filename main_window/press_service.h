#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>

#include <functional>

class MicrophoneSetting;

// Presses effect buttons for other programs over the session bus (global
// shortcuts, control decks): org.example.Zembra at /org/example/Zembra. It
// takes a button number only, never a file name, so no caller can make the
// program read a file of its choosing.
class PressService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.example.Zembra") // BusNames::Interface
    // Whether the pad also plays into "Zembra mikrofonu"; written, it is the
    // user's change and kept for the next start.
    Q_PROPERTY(bool IntoMicrophone READ intoMicrophone WRITE setIntoMicrophone)
public:
    static const QString ServiceName;
    static const QString ObjectPath;

    // `press` does what a click on effect button 1 to 20 does.
    explicit PressService(std::function<void(int)> press, QObject *parent = nullptr);

    // Offers the object and queues for the name: with several copies running the
    // first owns it, and it passes to the next when that one ends. Without a
    // bus this does nothing and says nothing.
    void registerOn(QDBusConnection bus = QDBusConnection::sessionBus());
    // Withdraws the object and gives the name up, so that the next copy in the
    // queue answers at once; for the way out, while this copy may still be heard.
    void unregister();

    // The setting IntoMicrophone reads and writes; without one it reads false
    // and a write is an error.
    void setMicrophone(MicrophoneSetting *setting) { microphone_ = setting; }
    bool intoMicrophone() const;
    void setIntoMicrophone(bool on);

public slots:
    // Button n, 1 to 20; anything else is an error reply and changes nothing.
    Q_SCRIPTABLE void Press(int n);

private:
    std::function<void(int)> press_;
    QString connection_; // registered on, by name; empty when not
    MicrophoneSetting *microphone_ = nullptr;
};
