#pragma once

#include <QString>

class QFrame;
class QLabel;
class QWidget;

namespace orvel::ui {

// A thin horizontal line across the full width.
QFrame* makeDivider(QWidget* parent, const QString& objectName);

// A label that never interprets its text as markup, for texts that come from the bridge or
// the network as much as for our own.
QLabel* makePlainLabel(const QString& text, QWidget* parent, const QString& objectName);

// Button texts treat "&" as a shortcut marker; received texts must show it as written.
QString escapeMnemonics(QString text);

// The toolkit's default padding and spacing, in points.
int defaultPadding(const QWidget* widget);
int defaultSpacing(const QWidget* widget);

} // namespace orvel::ui
