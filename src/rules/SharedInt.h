#pragma once

#include <QObject>

namespace orvel {

// An observable integer cell several views can hold; a settings row keeps its position in one.
class SharedInt : public QObject {
    Q_OBJECT
public:
    explicit SharedInt(QObject* parent = nullptr);

    qint64 val() const { return val_; }
    // Notifies on every assignment, even of the same value.
    void setVal(qint64 value);

Q_SIGNALS:
    void changed();

private:
    qint64 val_ = 1;
};

} // namespace orvel
