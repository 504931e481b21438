#include "ui/ViewParts.h"

#include <QFrame>
#include <QLabel>
#include <QStyle>
#include <QWidget>

namespace orvel::ui {

QFrame* makeDivider(QWidget* parent, const QString& objectName)
{
    auto* line = new QFrame(parent);
    line->setObjectName(objectName);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return line;
}

QLabel* makePlainLabel(const QString& text, QWidget* parent, const QString& objectName)
{
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    return label;
}

QString escapeMnemonics(QString text)
{
    text.replace(QLatin1Char('&'), QLatin1String("&&"));
    return text;
}

int defaultPadding(const QWidget* widget)
{
    return widget->style()->pixelMetric(QStyle::PM_LayoutLeftMargin, nullptr, widget);
}

int defaultSpacing(const QWidget* widget)
{
    return widget->style()->pixelMetric(QStyle::PM_LayoutHorizontalSpacing, nullptr, widget);
}

} // namespace orvel::ui
