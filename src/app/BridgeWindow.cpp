#include "app/BridgeWindow.h"

#include "app/CommandLine.h"
#include "controller/LightList.h"
#include "platform/Preferences.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

namespace orvel {

namespace {

QLabel* plainLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    // Names and errors come from the network: never rich text.
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    return label;
}

// Transport failures never reached a web server; an HTTP status or a configuration that is no
// bridge's came from something else listening there.
bool answeredButNoBridge(const QString& error)
{
    return error.startsWith(QStringLiteral("the bridge answered HTTP")) ||
           error == QStringLiteral("malformed configuration");
}

} // namespace

BridgeWindow::BridgeWindow(std::shared_ptr<HueBridgeServices> bridges, LightList* controller,
                           std::function<void(const QString&)> use, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , bridges_(std::move(bridges))
    , controller_(controller)
    , use_(std::move(use))
    , connected_(plainLabel(this))
    , found_(new QListWidget(this))
    , searchButton_(new QPushButton(QStringLiteral("Search Again"), this))
    , searchState_(plainLabel(this))
    , address_(new QLineEdit(this))
    , connectButton_(new QPushButton(QStringLiteral("Connect"), this))
    , feedback_(plainLabel(this))
{
    setWindowTitle(QStringLiteral("Orvel | Bridge"));
    setObjectName(QStringLiteral("bridgeWindow"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(connected_);

    auto* foundBox = new QGroupBox(QStringLiteral("Bridges on this network"), this);
    auto* foundLayout = new QVBoxLayout(foundBox);
    found_->setMaximumHeight(110);
    foundLayout->addWidget(found_);
    auto* searchRow = new QHBoxLayout;
    searchRow->addWidget(searchState_, 1);
    searchRow->addWidget(searchButton_);
    foundLayout->addLayout(searchRow);
    layout->addWidget(foundBox);

    auto* addressBox = new QGroupBox(QStringLiteral("Bridge address"), this);
    auto* addressLayout = new QHBoxLayout(addressBox);
    address_->setPlaceholderText(QStringLiteral("192.168.1.20 or host:port"));
    addressLayout->addWidget(address_, 1);
    addressLayout->addWidget(connectButton_);
    layout->addWidget(addressBox);
    layout->addWidget(feedback_);
    layout->addStretch();
    resize(420, 360);

    connect(connectButton_, &QPushButton::clicked, this, &BridgeWindow::connectToAddress);
    connect(address_, &QLineEdit::returnPressed, this, &BridgeWindow::connectToAddress);
    connect(searchButton_, &QPushButton::clicked, this, &BridgeWindow::search);
    // Picking a found bridge checks it like a typed address.
    connect(found_, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
        address_->setText(item->text());
        connectToAddress();
    });
    if (controller_)
        connect(controller_, &LightList::changed, this, &BridgeWindow::showConnected);
    showConnected();
}

BridgeWindow::~BridgeWindow() = default;

void BridgeWindow::showEvent(QShowEvent* event)
{
    showConnected();
    if (!discovery_)
        search();
    QWidget::showEvent(event);
}

void BridgeWindow::showConnected()
{
    const auto client = controller_ ? controller_->lightsInterface() : nullptr;
    if (client && client->authenticated())
        connected_->setText(
            QStringLiteral("Connected to the Hue bridge '%1' at %2.").arg(client->name(), client->host()));
    else
        connected_->setText(QStringLiteral("Not connected to a bridge yet."));
}

void BridgeWindow::search()
{
    found_->clear();
    discovery_ = bridges_->makeDiscovery(this);
    if (!discovery_) {
        searchState_->setText(QStringLiteral("Searching is not available."));
        return;
    }
    searchState_->setText(QStringLiteral("Searching..."));
    searchButton_->setEnabled(false);
    QPointer<BridgeWindow> self(this);
    discovery_->discoverForDuration(kSearchSeconds, [self](const QString&) {
        if (!self)
            return;
        self->searchButton_->setEnabled(true);
        self->searchState_->setText(self->found_->count() == 0
                                        ? QStringLiteral("No bridge found. Type its address below.")
                                        : QStringLiteral("Double-click a bridge to use it."));
    });
}

void BridgeWindow::foundHueAt(const QString& host, const QString&)
{
    if (found_->findItems(host, Qt::MatchExactly).isEmpty())
        found_->addItem(host);
}

void BridgeWindow::connectToAddress()
{
    QString problem;
    const QString host = normaliseBridgeHost(address_->text(), &problem);
    if (host.isEmpty()) {
        say(QStringLiteral("\"%1\" is not a bridge address: %2.").arg(address_->text().trimmed(), problem));
        return;
    }
    check(host);
}

void BridgeWindow::check(const QString& host)
{
    say(QStringLiteral("Asking %1...").arg(host));
    connectButton_->setEnabled(false);
    const QString username = Preferences::standard().text(QStringLiteral("hue_username")).valueOr(QString());
    checking_ = bridges_->makeClient(host, username);
    QPointer<BridgeWindow> self(this);
    const auto client = checking_;
    client->readWithCompletion([self, client, host](HueBridgeClient& bridge, const QString& error) {
        if (!self || self->checking_ != client)
            return;
        self->checking_.reset();
        self->connectButton_->setEnabled(true);
        if (bridge.name().isEmpty()) {
            self->say(answeredButNoBridge(error)
                          ? QStringLiteral("%1 answers, but it is not a Hue bridge.").arg(host)
                          : QStringLiteral("No answer from %1 (%2). Check the address and that the bridge is "
                                           "on and in this network.")
                                .arg(host, error));
            return;
        }
        const auto current = self->controller_ ? self->controller_->lightsInterface() : nullptr;
        const bool elsewhere = current && current->authenticated() && current->host() != host;
        if (self->use_)
            self->use_(host);
        if (elsewhere) {
            self->say(QStringLiteral("Found the Hue bridge '%1' at %2. Orvel stays with the connected one "
                                     "until it starts again, then uses this one.")
                          .arg(bridge.name(), host));
        } else if (bridge.authenticated()) {
            self->say(QStringLiteral("Connected to the Hue bridge '%1' at %2.").arg(bridge.name(), host));
        } else {
            self->say(QStringLiteral("'%1' at %2 is a Hue bridge. Press the link button on it: Orvel pairs "
                                     "with it within 30 seconds.")
                          .arg(bridge.name(), host));
        }
    });
}

void BridgeWindow::say(const QString& text)
{
    feedback_->setText(text);
    if (!text.endsWith(QStringLiteral("...")))
        Q_EMIT checked();
}

} // namespace orvel
