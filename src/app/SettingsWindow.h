#pragma once

#include <QMainWindow>

#include <functional>

class QVBoxLayout;

namespace orvel {

// The one settings window: a fixed 400 x 500 content area under a small menu bar, closable and
// minimisable but never resizable. Its close button does not close it; the owner decides what
// closing means (hiding into the tray, or minimising where there is no tray).
class SettingsWindow : public QMainWindow {
    Q_OBJECT
public:
    static constexpr int kContentWidth = 400;
    static constexpr int kContentHeight = 500;

    explicit SettingsWindow(QWidget* parent = nullptr);

    // Puts `content` into the content area (the window keeps it).
    void setContent(QWidget* content);
    QWidget* content() const { return content_; }

    // Runs instead of closing when the user asks the window to close.
    void setCloseHandler(std::function<void()> handler) { closeHandler_ = std::move(handler); }

    // Moves the window to the middle of the screen it is on (the primary one at first).
    void centre();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QWidget* contentArea_;
    QVBoxLayout* contentLayout_;
    QWidget* content_ = nullptr;
    std::function<void()> closeHandler_;
};

} // namespace orvel
