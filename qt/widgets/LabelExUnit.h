// A label that can look and act like a link: a click opens an address or file in
// its default handler, or runs a callable instead.
#pragma once

#include <QLabel>
#include <functional>

class QPainter;

namespace zarvo::qt {

// The style's keyboard focus frame over the whole of w, on a background of role.
void PaintFocusMark(QWidget* w, QPainter& painter, QPalette::ColorRole background);

class TLabelEx : public QLabel {
    Q_OBJECT
public:
    using TOnClickLinkRef = std::function<void()>;

    explicit TLabelEx(const QString& text = {}, QWidget* parent = nullptr);

    // The link look only: hand cursor, blue, underlined.
    void SetLink();
    void SetLink(const QString& link);
    void SetLink(const QString& caption, const QString& link);
    void SetLink(TOnClickLinkRef onClick);
    void SetLink(const QString& caption, TOnClickLinkRef onClick);

    const QString& Link() const { return FLink; }
    // What a click does: the callable when set, else opening the link when not empty.
    void Click();

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    // A link with the keyboard's focus shows the style's focus frame.
    void paintEvent(QPaintEvent* event) override;

private:
    QString FLink;
    TOnClickLinkRef FOnClickLink;
};

} // namespace zarvo::qt
