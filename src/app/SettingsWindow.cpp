#include "app/SettingsWindow.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QLayout>
#include <QScreen>
#include <QVBoxLayout>

namespace orvel {

SettingsWindow::SettingsWindow(QWidget* parent)
    : QMainWindow(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                              Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint)
    , contentArea_(new QWidget(this))
    , contentLayout_(new QVBoxLayout(contentArea_))
{
    setObjectName(QStringLiteral("settingsWindow"));
    contentArea_->setObjectName(QStringLiteral("settingsContent"));
    contentLayout_->setContentsMargins(0, 0, 0, 0);
    contentArea_->setFixedSize(kContentWidth, kContentHeight);
    setCentralWidget(contentArea_);
    // The window takes exactly the size of its menu bar and content; window managers then offer
    // no resize handles.
    layout()->setSizeConstraint(QLayout::SetFixedSize);
}

void SettingsWindow::setContent(QWidget* content)
{
    if (content_)
        content_->deleteLater();
    content_ = content;
    contentLayout_->addWidget(content);
}

void SettingsWindow::centre()
{
    // The size is only settled once the layout has run.
    layout()->activate();
    adjustSize();
    const QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame(QPoint(0, 0), frameGeometry().size());
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

void SettingsWindow::closeEvent(QCloseEvent* event)
{
    event->ignore();
    if (closeHandler_)
        closeHandler_();
}

} // namespace orvel
