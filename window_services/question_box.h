#pragma once

#include <QMessageBox>

#include <functional>

// Modal Yes/No questions go through here so that tests can answer them.
namespace QuestionBox {

// Yes and No ("Evet", "Hayır"), Yes the default, No the escape button, no icon.
QMessageBox *create(QWidget *parent, const QString &title, const QString &text);

// Shows the box and returns true for Yes. The default runs the box modally.
using Asker = std::function<bool(QMessageBox &box)>;
void setAsker(Asker asker);
bool ask(QWidget *parent, const QString &title, const QString &text);

} // namespace QuestionBox
