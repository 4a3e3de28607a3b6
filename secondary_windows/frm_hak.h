#pragma once

#include <QWidget>

class QLabel;
class QPlainTextEdit;

// The about window: title, the maker's picture, web host, e-mail and a short text.
class frmHak : public QWidget {
    Q_OBJECT
public:
    explicit frmHak(QWidget *parent = nullptr);

    // The about text as stored: lines separated and ended by CR LF.
    static QString aboutText();
    static QString webAddress();
    static QString mailAddress();

private:
    void Command1_Click();
};
