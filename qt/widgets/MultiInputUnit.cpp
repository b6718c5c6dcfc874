#include "qt/widgets/MultiInputUnit.h"

#include <QCheckBox>
#include <QDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

#include "support/ZarvoText.h"
#include "qt/widgets/VFormUnit.h"

namespace zarvo::qt {

namespace {

// The white band at the top with the icon and the prompt, closed by a grey line.
class THeaderBand : public QWidget {
public:
    THeaderBand(const QString& text, QWidget* parent) : QWidget(parent) {
        setObjectName(QStringLiteral("HeaderBand"));
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(19, 19, 19, 19);
        row->setSpacing(11);
        auto* icon = new QLabel(this);
        icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxQuestion).pixmap(32, 32));
        icon->setAlignment(Qt::AlignTop);
        row->addWidget(icon, 0, Qt::AlignTop);
        Body = new QVBoxLayout;
        Body->setSpacing(5);
        auto* prompt = new QLabel(text, this);
        prompt->setObjectName(QStringLiteral("PromptLabel"));
        prompt->setWordWrap(true);
        prompt->setTextFormat(Qt::PlainText);
        prompt->setVisible(!text.isEmpty());
        Body->addWidget(prompt);
        row->addLayout(Body, 1);
    }
    QVBoxLayout* Body;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), Qt::white);
        p.setPen(QColor(223, 223, 223));
        p.drawLine(0, height() - 1, width(), height() - 1);
    }
};

struct TBox {
    QDialog Dialog;
    THeaderBand* Header;
    QPushButton* OK;
    QPushButton* Cancel;

    TBox(QWidget* owner, const QString& title, const QString& text) : Dialog(owner) {
        Dialog.setWindowTitle(title);
        Dialog.setObjectName(QStringLiteral("MultiInputBox"));
        if (owner) Dialog.setFont(owner->font());
        Dialog.setFixedWidth(400);
        auto* outer = new QVBoxLayout(&Dialog);
        outer->setContentsMargins(0, 0, 0, 11);
        outer->setSpacing(12);
        Header = new THeaderBand(text, &Dialog);
        outer->addWidget(Header);
        auto* buttons = new QHBoxLayout;
        buttons->setContentsMargins(11, 0, 11, 0);
        buttons->setSpacing(7);
        buttons->addStretch(1);
        OK = new QPushButton(QStringLiteral("OK"), &Dialog);
        OK->setObjectName(QStringLiteral("OKButton"));
        OK->setDefault(true);
        Cancel = new QPushButton(QStringLiteral("Cancel"), &Dialog);
        Cancel->setObjectName(QStringLiteral("CancelButton"));
        buttons->addWidget(OK);
        buttons->addWidget(Cancel);
        outer->addLayout(buttons);
        QObject::connect(OK, &QPushButton::clicked, &Dialog, &QDialog::accept);
        QObject::connect(Cancel, &QPushButton::clicked, &Dialog, &QDialog::reject);
    }
};

// Up and Down in the edit step the value within the range.
class TSpinKeys : public QObject {
public:
    TSpinKeys(QLineEdit* edit, int32_t lo, int32_t hi) : QObject(edit), FEdit(edit), FLo(lo), FHi(hi) {}
    void Step(int delta) {
        const int64_t v =
            std::clamp<int64_t>(int64_t(StrToIntDef(FEdit->text().toStdString(), FLo)) + delta, FLo, FHi);
        FEdit->setText(QString::number(v));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress) {
            const int key = static_cast<QKeyEvent*>(event)->key();
            if (key == Qt::Key_Up || key == Qt::Key_Down) {
                Step(key == Qt::Key_Up ? 1 : -1);
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QLineEdit* FEdit;
    int32_t FLo, FHi;
};

} // namespace

bool TMultiInputBox::NumInputBox(QWidget* owner, const QString& title, const QString& text, int32_t& value,
                                 int32_t aMin, int32_t aMax) {
    TBox box(owner, title, text);
    auto* row = new QHBoxLayout;
    row->setSpacing(0);
    auto* edit = new QLineEdit(QString::number(value), &box.Dialog);
    edit->setObjectName(QStringLiteral("InputEdit"));
    if (aMin >= 0)
        edit->setValidator(
            new QRegularExpressionValidator(QRegularExpression(QStringLiteral("[0-9]*")), edit));
    auto* keys = new TSpinKeys(edit, aMin, aMax);
    edit->installEventFilter(keys);
    auto* up = new QToolButton(&box.Dialog);
    up->setArrowType(Qt::UpArrow);
    up->setObjectName(QStringLiteral("UpButton"));
    auto* down = new QToolButton(&box.Dialog);
    down->setArrowType(Qt::DownArrow);
    down->setObjectName(QStringLiteral("DownButton"));
    QObject::connect(up, &QToolButton::clicked, edit, [keys] { keys->Step(1); });
    QObject::connect(down, &QToolButton::clicked, edit, [keys] { keys->Step(-1); });
    row->addWidget(edit, 1);
    row->addWidget(up);
    row->addWidget(down);
    box.Header->Body->addLayout(row);

    auto check = [&] {
        const auto v = TryStrToInt(edit->text().toStdString());
        box.OK->setEnabled(v && *v >= aMin && *v <= aMax);
    };
    QObject::connect(edit, &QLineEdit::textChanged, &box.Dialog, check);
    check();
    edit->selectAll();
    edit->setFocus();
    if (Dialogs().ExecDialog(box.Dialog) != QDialog::Accepted) return false;
    const auto v = TryStrToInt(edit->text().toStdString());
    if (!v || *v < aMin || *v > aMax) return false;
    value = *v;
    return true;
}

bool TMultiInputBox::OptionsSelectBox(QWidget* owner, const QString& title, const QString& text,
                                      const std::vector<TMultiSelectOption>& options, uint32_t& checked) {
    TBox box(owner, title, text);
    std::vector<QCheckBox*> checks;
    std::vector<QLineEdit*> edits;
    for (size_t i = 0; i < options.size(); ++i) {
        auto* cb = new QCheckBox(options[i].Caption, &box.Dialog);
        cb->setObjectName(QStringLiteral("OptionCheck%1").arg(i));
        cb->setChecked(i < 32 && (checked >> i) & 1u);
        box.Header->Body->addWidget(cb);
        checks.push_back(cb);
        QLineEdit* edit = nullptr;
        if (options[i].pValue) {
            edit = new QLineEdit(*options[i].pValue, &box.Dialog);
            edit->setObjectName(QStringLiteral("OptionEdit%1").arg(i));
            auto* indent = new QHBoxLayout;
            indent->setContentsMargins(16, 0, 0, 0);
            indent->addWidget(edit);
            box.Header->Body->addLayout(indent);
        }
        edits.push_back(edit);
    }
    if (text.isEmpty()) box.Header->Body->addSpacing(32);
    if (Dialogs().ExecDialog(box.Dialog) != QDialog::Accepted) return false;
    uint32_t bits = 0;
    for (size_t i = 0; i < checks.size() && i < 32; ++i)
        if (checks[i]->isChecked()) bits |= 1u << i;
    checked = bits;
    for (size_t i = 0; i < options.size(); ++i)
        if (edits[i]) *options[i].pValue = edits[i]->text();
    return true;
}

} // namespace zarvo::qt
