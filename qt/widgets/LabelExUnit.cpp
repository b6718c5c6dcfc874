#include "qt/widgets/LabelExUnit.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionFocusRect>

#include "qt/widgets/VFormUnit.h"

namespace zarvo::qt {

TLabelEx::TLabelEx(const QString& text, QWidget* parent) : QLabel(text, parent) {}

void TLabelEx::SetLink() {
    setCursor(Qt::PointingHandCursor);
    QPalette p = palette();
    p.setColor(QPalette::WindowText, Qt::blue);
    setPalette(p);
    QFont f = font();
    f.setUnderline(true);
    setFont(f);
    setFocusPolicy(Qt::TabFocus); // reachable from the keyboard like a link
}

void TLabelEx::SetLink(const QString& link) {
    FLink = link;
    FOnClickLink = nullptr;
    SetLink();
}

void TLabelEx::SetLink(const QString& caption, const QString& link) {
    setText(caption);
    SetLink(link);
}

void TLabelEx::SetLink(TOnClickLinkRef onClick) {
    FOnClickLink = std::move(onClick);
    SetLink();
}

void TLabelEx::SetLink(const QString& caption, TOnClickLinkRef onClick) {
    setText(caption);
    SetLink(std::move(onClick));
}

void TLabelEx::Click() {
    emit clicked();
    if (FOnClickLink)
        FOnClickLink();
    else if (!FLink.isEmpty())
        Dialogs().OpenUrl(QUrl::fromUserInput(FLink));
}

void TLabelEx::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Click();
}

void PaintFocusMark(QWidget* w, QPainter& painter, QPalette::ColorRole background) {
    QStyleOptionFocusRect option;
    option.initFrom(w);
    option.state |= QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange;
    option.backgroundColor = w->palette().color(background);
    w->style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, w);
}

void TLabelEx::paintEvent(QPaintEvent* event) {
    QLabel::paintEvent(event);
    // Only the keyboard reaches a link label, so the mark is always due.
    if (!hasFocus()) return;
    QPainter painter(this);
    PaintFocusMark(this, painter, QPalette::Window);
}

void TLabelEx::keyPressEvent(QKeyEvent* event) {
    if ((FOnClickLink || !FLink.isEmpty()) &&
        (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter || event->key() == Qt::Key_Space)) {
        Click();
        return;
    }
    QLabel::keyPressEvent(event);
}

} // namespace zarvo::qt
