#include "window_services/question_box.h"

#include <QPushButton>

#include <memory>

namespace {
QuestionBox::Asker currentAsker;
}

QMessageBox *QuestionBox::create(QWidget *parent, const QString &title, const QString &text)
{
    auto *box = new QMessageBox(QMessageBox::NoIcon, title, text,
                                QMessageBox::Yes | QMessageBox::No, parent);
    box->button(QMessageBox::Yes)->setText(QStringLiteral("Evet"));
    box->button(QMessageBox::No)->setText(QStringLiteral("Hayır"));
    box->setDefaultButton(QMessageBox::Yes);
    box->setEscapeButton(QMessageBox::No);
    return box;
}

void QuestionBox::setAsker(Asker asker)
{
    currentAsker = std::move(asker);
}

bool QuestionBox::ask(QWidget *parent, const QString &title, const QString &text)
{
    std::unique_ptr<QMessageBox> box(create(parent, title, text));
    if (currentAsker)
        return currentAsker(*box);
    return box->exec() == QMessageBox::Yes;
}
