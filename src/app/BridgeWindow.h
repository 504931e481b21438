#pragma once

#include "hue/HueBridge.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;

namespace orvel {

class LightList;

// "Bridge…": the connected bridge, the bridges discovery finds (pick one), and a field for an
// address. An address is checked before it is used, and the window says what it found: no bridge
// address, no answer, not a Hue bridge, the link button is needed, or connected.
class BridgeWindow : public QWidget, public HueDiscoveryDelegate {
    Q_OBJECT
public:
    static constexpr int kSearchSeconds = 10;

    // `use` hands a checked bridge (host in the client's form) to the application; `controller`
    // (may be null) tells which bridge is connected.
    BridgeWindow(std::shared_ptr<HueBridgeServices> bridges, LightList* controller,
                 std::function<void(const QString& host)> use, QWidget* parent = nullptr);
    ~BridgeWindow() override;

    // Checks the typed address (as the Connect button does); the answer lands in feedback().
    void connectToAddress();
    // Searches the network again.
    void search();

    QLineEdit* addressField() const { return address_; }
    QListWidget* foundList() const { return found_; }
    QLabel* feedback() const { return feedback_; }
    QLabel* connectedLabel() const { return connected_; }

    void foundHueAt(const QString& host, const QString& discoveryLog) override;

Q_SIGNALS:
    // A check is over and feedback() says how it went.
    void checked();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void check(const QString& host);
    void showConnected();
    void say(const QString& text);

    std::shared_ptr<HueBridgeServices> bridges_;
    QPointer<LightList> controller_;
    std::function<void(const QString&)> use_;
    std::unique_ptr<HueDiscovery> discovery_;
    std::shared_ptr<HueBridgeClient> checking_;

    QLabel* connected_;
    QListWidget* found_;
    QPushButton* searchButton_;
    QLabel* searchState_;
    QLineEdit* address_;
    QPushButton* connectButton_;
    QLabel* feedback_;
};

} // namespace orvel
