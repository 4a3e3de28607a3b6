#pragma once

#include <QPointer>
#include <QWidget>

#include <functional>

// Name, caption, icon, font and fixed client size of a secondary window. Its frame
// keeps it out of the taskbar, yet an open one keeps the program running.
void setUpSecondaryWindow(QWidget *window, const char *name, const QString &title,
                          const QSize &clientSize);

// One program-wide secondary window. Showing loads it (builds it afresh) unless it
// is already up, in which case it is only raised; closing it discards it.
class SharedWindow {
public:
    using Factory = std::function<QWidget *()>;

    explicit SharedWindow(Factory factory = {});
    ~SharedWindow();

    void setFactory(Factory factory) { factory_ = std::move(factory); }
    void show();
    void unload();
    bool isLoaded() const;
    QWidget *window() const { return isLoaded() ? window_.data() : nullptr; }

private:
    Factory factory_;
    QPointer<QWidget> window_;
};
