#pragma once

#include <QObject>
#include <QString>
#include <QWidget>

class QCheckBox;

namespace orvel {

class LaunchAtLoginObservable;
class LaunchAtLoginToggle;

// Whether Orvel starts by itself at login. The only truth is the desktop's autostart entry
// ($XDG_CONFIG_HOME/autostart/<app id>-LaunchAtLoginHelper.desktop): nothing is kept elsewhere and
// every read looks at the entry again.
class LaunchAtLogin {
public:
    LaunchAtLogin() = delete;

    using Observable = LaunchAtLoginObservable;
    using Toggle = LaunchAtLoginToggle;

    // The application id followed by "-LaunchAtLoginHelper".
    static QString helperBundleIdentifier();
    // Where the autostart entry lives.
    static QString entryPath();

    // On when the entry exists, is not Hidden=true and not X-GNOME-Autostart-enabled=false.
    static bool isEnabled();
    // Writes (atomically) or removes the entry, then notifies every observer with the state read
    // back, even when nothing changed. A failed write prints a line; the answer says whether the
    // entry now reads as asked.
    static bool setEnabled(bool enabled);

    // An entry this program wrote before entries carried --login gets it appended to its Exec
    // line; entries edited by hand (other keys or arguments) are left as they are. Answers whether
    // the entry was rewritten.
    static bool updateEntry();

    // The one observable, created on first use.
    static Observable& shared();

    // The Exec value that starts `program` with no arguments, quoted and escaped for a desktop
    // entry. The entry itself adds --login after it.
    static QString execValue(const QString& program);
};

class LaunchAtLoginObservable : public QObject {
    Q_OBJECT
public:
    bool isEnabled() const { return LaunchAtLogin::isEnabled(); }
    void setEnabled(bool enabled) { LaunchAtLogin::setEnabled(enabled); }

signals:
    // After every write, with the state read back from the autostart entry.
    void changed(bool enabled);

private:
    friend class LaunchAtLogin;
    LaunchAtLoginObservable() = default;
};

// A switch bound both ways to LaunchAtLogin: flipping it writes the entry, and it always shows
// what the entry reads after a change, wherever the change came from.
class LaunchAtLoginToggle : public QWidget {
    Q_OBJECT
public:
    explicit LaunchAtLoginToggle(QWidget* parent = nullptr);
    explicit LaunchAtLoginToggle(const QString& label, QWidget* parent = nullptr);

    QCheckBox* checkBox() const { return box_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void showState(bool enabled);

    QCheckBox* box_;
};

} // namespace orvel
