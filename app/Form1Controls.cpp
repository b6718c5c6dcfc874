// The main window's controls: made per panel, named for the keyboard and screen readers, bound
// to their handlers.
#include "app/Unit1.h"

#include <QAccessible>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QSpinBox>
#include <QSplitter>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <tuple>

#include "app/Form1Shared.h"

using namespace zarvo;
using namespace zarvo::qt;
using namespace form1;

namespace form1 {

// A caption as it is shown: its mnemonic mark taken out ("&&" shows one "&").
QString ShownText(const QString& caption) {
    QString out;
    out.reserve(caption.size());
    for (qsizetype i = 0; i < caption.size(); ++i) {
        if (caption[i] == QLatin1Char('&') && i + 1 < caption.size()) ++i;
        out += caption[i];
    }
    return out;
}

// A caption that can change, such as a count. The label announces its new text
// itself; the edit it names is told that its name changed with it.
void SetCaption(QLabel* label, const QString& text) {
    if (label->text() == text) return;
    label->setText(text);
    QWidget* buddy = label->buddy();
    if (!buddy) return;
    if (qobject_cast<QAbstractItemView*>(buddy)) buddy->setAccessibleName(ShownText(text)); // reads no buddy
    QAccessibleEvent event(buddy, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&event);
}

} // namespace form1

// ---------------------------------------------------------------- controls

namespace {

const char* const kNotice = "Freeware. Copyright (c) 2013-20%.2d Zarvo developers.";
const char* const kMakerName = "Zarvo developers";

// The keyboard's focus mark over a control that shows none of its own (a read-only
// text, an empty list): the style's focus frame, drawn over the whole control while
// it has the focus.
class TFocusMark : public QWidget {
public:
    explicit TFocusMark(QWidget* target) : QWidget(target) {
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setFocusPolicy(Qt::NoFocus);
        hide();
        target->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        switch (event->type()) {
        case QEvent::FocusIn:
            setGeometry(parentWidget()->rect());
            raise();
            show();
            break;
        case QEvent::FocusOut:
            hide();
            break;
        case QEvent::Resize:
            setGeometry(parentWidget()->rect());
            break;
        default:
            break;
        }
        return false;
    }
    void paintEvent(QPaintEvent* /*event*/) override {
        QPainter painter(this);
        PaintFocusMark(this, painter, QPalette::Base);
    }
};

// Alt and a letter meant for a shortcut that none answers (a disabled control's,
// or no control's) would type the letter into the edit with the focus; it types
// nothing, as in the output pane. Alt with Ctrl is AltGr, which types.
class TNoAltTyping : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* /*watched*/, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers m = key->modifiers();
        return (m & Qt::AltModifier) && !(m & Qt::ControlModifier) && !key->text().isEmpty();
    }
};

template <class W> W* Named(W* w, const char* name) {
    w->setObjectName(QString::fromLatin1(name));
    return w;
}

QPlainTextEdit* NewMemo(QWidget* parent, const char* name) {
    auto* m = Named(new QPlainTextEdit(parent), name);
    m->setLineWrapMode(QPlainTextEdit::NoWrap);
    m->setTabChangesFocus(true);
    return m;
}

QComboBox* NewCombo(QWidget* parent, const char* name, const QStringList& items, bool editable = false) {
    auto* c = Named(new QComboBox(parent), name);
    c->setEditable(editable);
    c->addItems(items);
    return c;
}

TLabelEx* NewLabel(QWidget* parent, const char* name, const QString& text) {
    return Named(new TLabelEx(text, parent), name);
}

TButtonEx* NewButton(QWidget* parent, const char* name, const QString& text) {
    return Named(new TButtonEx(text, parent), name);
}

// A number from 1 to high, its label governing it; no group separators, so that
// the text reads as the settings file and the command line write it.
QSpinBox* NewNumberBox(QWidget* parent, const char* name, TLabelEx* label, unsigned high, unsigned value) {
    auto* box = Named(new QSpinBox(parent), name);
    box->setRange(1, static_cast<int>(high));
    box->setValue(static_cast<int>(value));
    box->setGroupSeparatorShown(false);
    box->setAccelerated(true);
    label->setBuddy(box);
    return box;
}

QCheckBox* NewCheck(QWidget* parent, const char* name, const QString& text) {
    return Named(new QCheckBox(text, parent), name);
}

QLineEdit* NewEdit(QWidget* parent, const char* name, const QString& text) {
    return Named(new QLineEdit(text, parent), name);
}

const QStringList kListDelimiters = {QStringLiteral("End-Of-Line"), QStringLiteral("Comma"),
                                     QStringLiteral("Semicolon")};

// One list of the reverse lookup's results, below the others in column: its caption,
// the list, and a row of Save with the delimiter of the saved file; names are the
// object names of the five, in that order.
std::tuple<TLabelEx*, QPlainTextEdit*, TButtonEx*, TLabelEx*, QComboBox*>
AddResultList(QWidget* parent, QVBoxLayout* column, const QString& caption,
              const std::array<const char*, 5>& names) {
    TLabelEx* label = NewLabel(parent, names[0], caption);
    QPlainTextEdit* memo = NewMemo(parent, names[1]);
    TButtonEx* save = NewButton(parent, names[2], QStringLiteral("Save to file..."));
    TLabelEx* delimiterLabel = NewLabel(parent, names[3], QStringLiteral("Delimiter:"));
    QComboBox* delimiter = NewCombo(parent, names[4], kListDelimiters);
    column->addWidget(label);
    column->addWidget(memo, 1);
    auto* row = new QHBoxLayout;
    row->addWidget(save);
    row->addWidget(delimiterLabel);
    row->addWidget(delimiter, 1);
    column->addLayout(row);
    return {label, memo, save, delimiterLabel, delimiter};
}

} // namespace

void TForm1::BuildControls() {
    setObjectName(QStringLiteral("Form1"));
    resize(1047, 686);
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);
    Splitter1 = Named(new QSplitter(Qt::Horizontal, this), "Splitter1");
    outer->addWidget(Splitter1);
    auto* left = Named(new QWidget(Splitter1), "LeftPanel");
    auto* right = Named(new QWidget(Splitter1), "RightPanel");
    Splitter1->addWidget(left);
    Splitter1->addWidget(right);
    Splitter1->setChildrenCollapsible(false);
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 0);
    Splitter1->setSizes({770, 1047 - 16 - 770});

    auto* leftRow = new QHBoxLayout(left);
    leftRow->setContentsMargins(0, 0, 0, 0);

    BuildInputColumn(left, leftRow);
    BuildMiddleColumn(left, leftRow);
    BuildOutputColumn(left, leftRow);
    BuildRightPanel(right);

    // Dialogs.
    SaveDialog1.Save = true;
    SaveDialog1.DefaultExt = QStringLiteral(".txt");
    SaveDialog1.Filter = QStringLiteral("Text files (*.txt)|*.txt|All files (*.*)|*.*");
    SaveDialog1.OverwritePrompt = true;
    MMDBOpenDialog.Filter = QStringLiteral("MMDB files (*.mmdb)|*.mmdb|All files (*.*)|*.*");
    MMDBOpenDialog.FileMustExist = true;

    // The initial options.
    WriteOptions(TZarvoOptions{});

    BindEvents();

    SetAccessibleNames();
    auto* noAltTyping = new TNoAltTyping(this);
    for (QWidget* w : findChildren<QWidget*>())
        if (qobject_cast<QLineEdit*>(w) || qobject_cast<QPlainTextEdit*>(w))
            w->installEventFilter(noAltTyping);
    // (The output pane draws its own.)
    for (QWidget* w :
         {static_cast<QWidget*>(Memo7), static_cast<QWidget*>(Memo8), static_cast<QWidget*>(SettingsListBox)})
        new TFocusMark(w);

    // Centred on the screen.
    if (QScreen* screen = this->screen()) {
        const QRect avail = screen->availableGeometry();
        move(avail.center() - rect().center());
    }
}

void TForm1::BuildInputColumn(QWidget* left, QHBoxLayout* leftRow) {
    const auto label = &NewLabel;
    const auto check = &NewCheck;
    const auto edit = &NewEdit;

    // Input column.
    // The two option columns keep their width; the output column takes the rest.
    auto* inBox = Named(new QWidget(left), "InputPanel");
    inBox->setMaximumWidth(250);
    auto* in = new QVBoxLayout(inBox);
    in->setContentsMargins(0, 0, 0, 0);
    leftRow->addWidget(inBox, 0);
    Label1 = label(left, "Label1", QStringLiteral("&IP Ranges (CIDR notation):"));
    Memo1 = NewMemo(left, "Memo1");
    Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Memo1->setMinimumWidth(200);
    in->addWidget(Label1);
    in->addWidget(Memo1, 1);
    Label8 = label(left, "Label8", QStringLiteral("Ex.:"));
    Memo7 = NewMemo(left, "Memo7");
    Memo7->setReadOnly(true);
    Memo7->setPlainText(QStringLiteral("127.0.0.1/24\nA=192.168.1.100/16/24\nfdc7:200d:3e17::/120\n"
                                       "B=fdc7:200d:3e17::fb05/48/60"));
    Memo7->setFixedHeight(Memo7->fontMetrics().lineSpacing() * 4 + 12);
    Memo7->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Read-only examples: the mouse selects and copies them; Tab passes them by.
    Memo7->setFocusPolicy(Qt::ClickFocus);
    auto* exRow = new QHBoxLayout;
    exRow->addWidget(Label8, 0, Qt::AlignTop);
    exRow->addWidget(Memo7, 1);
    in->addLayout(exRow);
    CheckBox8 = check(left, "CheckBox8", QStringLiteral("&Usable host IP addresses"));
    UniqueCheckBox = check(left, "UniqueCheckBox", QStringLiteral("Uni&que IP addresses"));
    CheckBox4 = check(left, "CheckBox4", QStringLiteral("E&xclude (example: *.0):"));
    Memo6 = NewMemo(left, "Memo6");
    Memo6->setFixedHeight(Memo6->fontMetrics().lineSpacing() * 3 + 12);
    Memo6->setToolTip(
        QStringLiteral("One a line: a wildcard mask (*.0, 10.0.[1-5].*), an address, a CIDR block "
                       "(10.0.0.0/24) or a range (10.0.0.5-10.0.0.9)"));
    CheckBox6 = check(left, "CheckBox6", QStringLiteral("&Escape IPv6 with square brackets"));
    LowerIPv6CheckBox = check(left, "LowerIPv6CheckBox", QStringLiteral("IPv&6 in lower case (RFC 5952)"));
    in->addWidget(CheckBox8);
    in->addWidget(UniqueCheckBox);
    in->addWidget(CheckBox4);
    in->addWidget(Memo6);
    in->addWidget(CheckBox6);
    in->addWidget(LowerIPv6CheckBox);
    CheckBox2 = check(left, "CheckBox2", QStringLiteral("Add &Port Numbers:"));
    Edit3 = edit(left, "Edit3", QStringLiteral("80"));
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(CheckBox2);
    portRow->addWidget(Edit3, 1);
    in->addLayout(portRow);
    Label9 = label(left, "Label9", QStringLiteral("Example: 80,3128-3130"));
    in->addWidget(Label9);
    CheckBox3 = check(left, "CheckBox3", QStringLiteral("Generate &Names using template:"));
    Edit4 = edit(left, "Edit4", QString());
    in->addWidget(CheckBox3);
    in->addWidget(Edit4);
    Label12 = label(left, "Label12", QStringLiteral("IP quadrants: %1,%2,  ..."));
    Label10 = label(left, "Label10", QStringLiteral("Source range: %s"));
    in->addWidget(Label12);
    in->addWidget(Label10);
    auto* nameGrid = new QGridLayout;
    Label11 = label(left, "Label11", QStringLiteral("Counter S&ymbol:"));
    ComboBox1 = NewCombo(left, "ComboBox1", {QStringLiteral("#"), QStringLiteral("@")}, true);
    Label13 = label(left, "Label13", QStringLiteral("First Number:"));
    Edit5 = edit(left, "Edit5", QStringLiteral("1"));
    Label16 = label(left, "Label16", QStringLiteral("Step:"));
    Edit6 = edit(left, "Edit6", QStringLiteral("1"));
    Label17 = label(left, "Label17", QStringLiteral("Min. Digits:"));
    Edit7 = edit(left, "Edit7", QStringLiteral("1"));
    Label21 = label(left, "Label21", QStringLiteral("Delimiter:"));
    ComboBox5 = NewCombo(left, "ComboBox5",
                         {QStringLiteral("Whitespace"), QStringLiteral("Tab"), QStringLiteral("Comma"),
                          QStringLiteral("Semicolon"), QStringLiteral("Custom")});
    Edit8 = edit(left, "Edit8", QStringLiteral("|"));
    // Below the list, the column's width; its room is kept while hidden, so that
    // choosing "Custom" moves nothing.
    QSizePolicy customPolicy = Edit8->sizePolicy();
    customPolicy.setRetainSizeWhenHidden(true);
    Edit8->setSizePolicy(customPolicy);
    Edit8->setVisible(false);
    nameGrid->addWidget(Label11, 0, 0);
    nameGrid->addWidget(ComboBox1, 0, 1);
    nameGrid->addWidget(Label13, 1, 0);
    nameGrid->addWidget(Edit5, 1, 1);
    nameGrid->addWidget(Label16, 2, 0);
    nameGrid->addWidget(Edit6, 2, 1);
    nameGrid->addWidget(Label17, 3, 0);
    nameGrid->addWidget(Edit7, 3, 1);
    nameGrid->addWidget(Label21, 4, 0);
    nameGrid->addWidget(ComboBox5, 4, 1);
    nameGrid->addWidget(Edit8, 5, 1);
    nameGrid->setColumnStretch(1, 1);
    in->addLayout(nameGrid);
}

void TForm1::BuildMiddleColumn(QWidget* left, QHBoxLayout* leftRow) {
    const auto label = &NewLabel;
    const auto button = &NewButton;
    const auto check = &NewCheck;
    const auto edit = &NewEdit;

    // Middle column.
    auto* midBox = Named(new QWidget(left), "MiddlePanel");
    midBox->setMaximumWidth(215);
    auto* mid = new QVBoxLayout(midBox);
    mid->setContentsMargins(0, 0, 0, 0);
    leftRow->addWidget(midBox, 0);
    GroupBox1 = Named(new QGroupBox(QStringLiteral("Count"), left), "GroupBox1");
    auto* countGrid = new QGridLayout(GroupBox1);
    RadioButton1 = Named(new QRadioButton(QStringLiteral("A&ll IPs"), GroupBox1), "RadioButton1");
    RadioButton2 = Named(new QRadioButton(QStringLiteral("&Total Count:"), GroupBox1), "RadioButton2");
    RadioButton3 = Named(new QRadioButton(QStringLiteral("&For Each Range:"), GroupBox1), "RadioButton3");
    RadioButton1->setChecked(true);
    Edit1 = edit(GroupBox1, "Edit1", QStringLiteral("10"));
    Edit2 = edit(GroupBox1, "Edit2", QStringLiteral("10"));
    Edit1->setMaximumWidth(80);
    Edit2->setMaximumWidth(80);
    countGrid->addWidget(RadioButton1, 0, 0, 1, 2);
    countGrid->addWidget(RadioButton2, 1, 0);
    countGrid->addWidget(Edit1, 1, 1);
    countGrid->addWidget(RadioButton3, 2, 0);
    countGrid->addWidget(Edit2, 2, 1);
    mid->addWidget(GroupBox1);
    CheckBox1 = check(left, "CheckBox1", QStringLiteral("Random &Order"));
    CheckBox5 = check(left, "CheckBox5", QStringLiteral("&Append"));
    CheckBox7 = check(left, "CheckBox7", QStringLiteral("&Resolve IP country"));
    mid->addWidget(CheckBox1);
    mid->addWidget(CheckBox5);
    mid->addWidget(CheckBox7);
    Label3 = label(left, "Label3", QStringLiteral("GeipIP2 &MMDB File:"));
    Edit9 = edit(left, "Edit9", QString());
    Button4 = button(left, "Button4", QStringLiteral("&View..."));
    Button11 = button(left, "Button11", QStringLiteral("Bro&wse..."));
    mid->addWidget(Label3);
    mid->addWidget(Edit9);
    auto* dbRow = new QHBoxLayout;
    dbRow->addWidget(Button4);
    dbRow->addWidget(Button11);
    mid->addLayout(dbRow);
    Label26 = label(left, "Label26", QStringLiteral("Only countries:"));
    Edit10 = edit(left, "Edit10", QString());
    Edit10->setPlaceholderText(QStringLiteral("DE,FR (all when empty)"));
    Label25 = label(left, "Label25", QStringLiteral("Country field:"));
    ComboBox6 = NewCombo(left, "ComboBox6",
                         {QStringLiteral("country.iso_code"), QStringLiteral("city.names.en"),
                          QStringLiteral("subdivisions.0.iso_code"), QStringLiteral("location.latitude"),
                          QStringLiteral("location.longitude"), QStringLiteral("autonomous_system_number"),
                          QStringLiteral("autonomous_system_organization"), QStringLiteral("isp")},
                         true);
    // As wide as the column's other controls, whatever the longest field.
    ComboBox6->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    ComboBox6->setMinimumContentsLength(8);
    auto* columnGrid = new QGridLayout;
    columnGrid->addWidget(Label26, 0, 0);
    columnGrid->addWidget(Edit10, 0, 1);
    columnGrid->addWidget(Label25, 1, 0);
    columnGrid->addWidget(ComboBox6, 1, 1);
    columnGrid->setColumnStretch(1, 1);
    mid->addLayout(columnGrid);
    StartButton = button(left, "StartButton", QStringLiteral("&Generate IPs"));
    BreakButton = button(left, "BreakButton", QStringLiteral("&Break"));
    BreakButton->setEnabled(false);
    StartButton->setMinimumHeight(32);
    mid->addWidget(StartButton);
    mid->addWidget(BreakButton);
    TotalProgressBar = Named(new QProgressBar(left), "TotalProgressBar");
    TotalProgressBar->setRange(0, 100);
    TotalProgressBar->setValue(0);
    TotalProgressBar->setTextVisible(false);
    ProgressLabel = label(left, "ProgressLabel", QStringLiteral("100 %"));
    // Room for the widest figure from the start: the label is painted at the end of a
    // run before the layout has had a turn, so a narrower one would clip its "%".
    ProgressLabel->setMinimumWidth(ProgressLabel->sizeHint().width());
    ProgressLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    ProgressLabel->setText(QStringLiteral("0 %"));
    auto* barRow = new QHBoxLayout;
    barRow->addWidget(TotalProgressBar, 1);
    barRow->addWidget(ProgressLabel);
    mid->addLayout(barRow);
    ElapsedTitleLabel = label(left, "ElapsedTitleLabel", QStringLiteral("Elapsed:"));
    ElapsedLabel = label(left, "ElapsedLabel", QStringLiteral("0:00:00"));
    ElapsedLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* elapsedRow = new QHBoxLayout;
    elapsedRow->addWidget(ElapsedTitleLabel);
    elapsedRow->addWidget(ElapsedLabel, 1);
    mid->addLayout(elapsedRow);
    StatusLabel = label(left, "StatusLabel", QStringLiteral("Status"));
    StatusLabel->setWordWrap(true);
    StatusLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    StatusLabel->setMinimumHeight(StatusLabel->fontMetrics().lineSpacing() * 3);
    mid->addWidget(StatusLabel);
    mid->addStretch(1);
    BuildSettingsGroup(left, mid);
    // The column keeps its width, but no less than its rows need (the three buttons).
    midBox->setMaximumWidth(std::max(midBox->maximumWidth(), mid->minimumSize().width()));
    GroupBox1->setMaximumWidth(230);
    for (QWidget* w : {static_cast<QWidget*>(Edit9), static_cast<QWidget*>(SettingsListBox)})
        w->setMinimumWidth(150);
}

void TForm1::BuildSettingsGroup(QWidget* left, QVBoxLayout* mid) {
    const auto label = &NewLabel;
    const auto button = &NewButton;
    const auto edit = &NewEdit;

    Label24 = label(left, "Label24", QStringLiteral("Save, Load or Delete stored IP Generation Settings."));
    Label24->setWordWrap(true);
    SettingsListBox = Named(new TVirtualListBox(left), "SettingsListBox");
    SettingsListBox->setMaximumHeight(110);
    SettingsNameEdit = edit(left, "SettingsNameEdit", QString());
    SettingsSaveButton = button(left, "SettingsSaveButton", QStringLiteral("Save"));
    SettingsLoadButton = button(left, "SettingsLoadButton", QStringLiteral("Load"));
    SettingsDeleteButton = button(left, "SettingsDeleteButton", QStringLiteral("Delete"));
    for (auto* b : {SettingsSaveButton, SettingsLoadButton, SettingsDeleteButton}) b->setEnabled(false);
    mid->addWidget(Label24);
    mid->addWidget(SettingsListBox);
    mid->addWidget(SettingsNameEdit);
    auto* setRow = new QHBoxLayout;
    setRow->addWidget(SettingsSaveButton);
    setRow->addWidget(SettingsLoadButton);
    setRow->addWidget(SettingsDeleteButton);
    mid->addLayout(setRow);
}

void TForm1::BuildOutputColumn(QWidget* left, QHBoxLayout* leftRow) {
    const auto label = &NewLabel;
    const auto button = &NewButton;

    // Output column.
    auto* out = new QVBoxLayout;
    leftRow->addLayout(out, 1);
    Label2 = label(left, "Label2", QStringLiteral("IPs (0):"));
    Memo2 = Named(new TLinesEdit(left), "Memo2");
    Memo2->setMinimumWidth(150);
    out->addWidget(Label2);
    out->addWidget(Memo2, 1);
    Button2 = button(left, "Button2", QStringLiteral("&Clear"));
    Button10 = button(left, "Button10", QStringLiteral("S&huffle"));
    Button3 = button(left, "Button3", QStringLiteral("&Save to file..."));
    auto* paneRow = new QHBoxLayout;
    paneRow->addWidget(Button2);
    paneRow->addWidget(Button10);
    out->addLayout(paneRow);
    out->addWidget(Button3);
    Label18 = label(left, "Label18", QStringLiteral("Delimiter:"));
    ComboBox2 = NewCombo(left, "ComboBox2", kListDelimiters);
    auto* delimRow = new QHBoxLayout;
    delimRow->addWidget(Label18);
    delimRow->addWidget(ComboBox2, 1);
    out->addLayout(delimRow);
}

void TForm1::BindEvents() {
    connect(Memo2, &TLinesEdit::Changed, this, &TForm1::UpdateIPCountLabel);
    connect(CheckBox3, &QCheckBox::toggled, this, &TForm1::UpdateIPCountLabel);
    connect(ComboBox5, &QComboBox::currentIndexChanged, this,
            [this](int i) { Edit8->setVisible(i == ndCustom); });
    connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
    connect(Button10, &QPushButton::clicked, this, &TForm1::Button10Click);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
    connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
    connect(Button12, &QPushButton::clicked, this, &QWidget::close);
    SettingsListBox->Model()->OnData = [this](int i) { return SettingsListBoxData(i); };
    connect(SettingsNameEdit, &QLineEdit::textChanged, this, &TForm1::SettingsNameEditChange);
    // A click on the chosen item, or a choice by keyboard.
    connect(SettingsListBox, &QAbstractItemView::clicked, this, &TForm1::SettingsListBoxClick);
    connect(SettingsListBox->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &TForm1::SettingsListBoxClick);
    connect(SettingsSaveButton, &QPushButton::clicked, this, &TForm1::SettingsSaveButtonClick);
    connect(SettingsLoadButton, &QPushButton::clicked, this, &TForm1::SettingsLoadButtonClick);
    connect(SettingsDeleteButton, &QPushButton::clicked, this, &TForm1::SettingsDeleteButtonClick);
    connect(Button5, &QPushButton::clicked, this, &TForm1::Button5Click);
    connect(Button9, &QPushButton::clicked, this, &TForm1::Button9Click);
    connect(Button8, &QPushButton::clicked, this, &TForm1::Button8Click);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(SystemDNSButton, &QPushButton::clicked, this, &TForm1::SystemDNSButtonClick);
    connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
    connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);
    connect(Memo3, &QPlainTextEdit::textChanged, this, &TForm1::UpdateResolvedCount);
    connect(Memo4, &QPlainTextEdit::textChanged, this, &TForm1::UpdateUnresolvedCount);
    FDNSTimer = new QTimer(this);
    FDNSTimer->setSingleShot(true);
    connect(FDNSTimer, &QTimer::timeout, this, &TForm1::TakeDNSResults);
}

void TForm1::BuildRightPanel(QWidget* right) {
    auto* r = new QVBoxLayout(right);
    r->setContentsMargins(0, 0, 0, 0);
    Button5 = NewButton(right, "Button5", QStringLiteral("Reverse &DNS Lookup >>"));
    r->addWidget(Button5);
    ProgressBar1 = Named(new QProgressBar(right), "ProgressBar1");
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);
    Label7 = NewLabel(right, "Label7", QStringLiteral("0"));
    auto* dnsBar = new QHBoxLayout;
    dnsBar->addWidget(ProgressBar1, 1);
    dnsBar->addWidget(Label7);
    r->addLayout(dnsBar);
    // Where the run stands (running, done, broken off) and how far it got.
    DNSStateLabel = NewLabel(right, "DNSStateLabel", DNSStateText(TDNSState::NotStarted, 0, {}));
    r->addWidget(DNSStateLabel);
    Button9 = NewButton(right, "Button9", QStringLiteral("Brea&k DNS Lookup"));
    Button9->setEnabled(false); // while a run is under way
    Button8 = NewButton(right, "Button8", QStringLiteral("Clear DNS Lookup Results"));
    r->addWidget(Button9);
    r->addWidget(Button8);
    Label6 = NewLabel(right, "Label6", QStringLiteral("DNS Servers:"));
    // As zarvo-cli rdns --retries: 0 sends each query once.
    DNSRetriesLabel = NewLabel(right, "DNSRetriesLabel", QStringLiteral("Retries:"));
    DNSRetriesSpin =
        NewNumberBox(right, "DNSRetriesSpin", DNSRetriesLabel, dns::kMaxRetries, dns::kDefaultRetries);
    DNSRetriesSpin->setMinimum(0);
    DNSRetriesSpin->setToolTip(
        QStringLiteral("How often a query without a reply is sent again, within its timeout"));
    Memo5 = NewMemo(right, "Memo5");
    Memo5->setPlainText(QStringLiteral("8.8.8.8\n8.8.4.4"));
    Memo5->setFixedHeight(Memo5->fontMetrics().lineSpacing() * 3 + 12);
    // The retries beside the list's caption: the panel keeps its width and height.
    auto* serversRow = new QHBoxLayout;
    serversRow->addWidget(Label6);
    serversRow->addStretch(1);
    serversRow->addWidget(DNSRetriesLabel);
    serversRow->addWidget(DNSRetriesSpin);
    r->addLayout(serversRow);
    r->addWidget(Memo5);
    // Each query's wait and the queries at once, as zarvo-cli rdns --timeout and --in-flight.
    DNSTimeoutLabel = NewLabel(right, "DNSTimeoutLabel", QStringLiteral("Timeout (ms):"));
    DNSTimeoutSpin =
        NewNumberBox(right, "DNSTimeoutSpin", DNSTimeoutLabel, dns::kMaxTimeoutMs, dns::kDefaultTimeoutMs);
    DNSTimeoutSpin->setToolTip(QStringLiteral("How long each query waits for its reply"));
    DNSInFlightLabel = NewLabel(right, "DNSInFlightLabel", QStringLiteral("In flight:"));
    DNSInFlightSpin =
        NewNumberBox(right, "DNSInFlightSpin", DNSInFlightLabel, dns::kMaxInFlight, dns::kDefaultInFlight);
    DNSInFlightSpin->setToolTip(QStringLiteral("How many queries wait for their replies at once"));
    auto* queryRow = new QHBoxLayout;
    queryRow->addWidget(DNSTimeoutLabel);
    queryRow->addWidget(DNSTimeoutSpin);
    queryRow->addStretch(1);
    queryRow->addWidget(DNSInFlightLabel);
    queryRow->addWidget(DNSInFlightSpin);
    r->addLayout(queryRow);
    Button1 = NewButton(right, "Button1", QStringLiteral("Use Google Public DNS Servers:"));
    SystemDNSButton = NewButton(right, "SystemDNSButton", QStringLiteral("Use System DNS Servers"));
    SystemDNSButton->setToolTip(QStringLiteral("The nameserver lines of /etc/resolv.conf"));
    Memo8 = NewMemo(right, "Memo8");
    Memo8->setReadOnly(true);
    Memo8->setFrameShape(QFrame::NoFrame);
    Memo8->setBackgroundRole(QPalette::Window);
    Memo8->viewport()->setAutoFillBackground(false);
    Memo8->setPlainText(QStringLiteral("8.8.8.8\n8.8.4.4"));
    Memo8->setFixedHeight(Memo8->fontMetrics().lineSpacing() * 2 + 10);
    Memo8->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Memo8->setFocusPolicy(Qt::ClickFocus); // as the examples under the ranges
    auto* serverButtons = new QHBoxLayout;
    serverButtons->addWidget(Button1);
    serverButtons->addWidget(SystemDNSButton);
    r->addLayout(serverButtons);
    r->addWidget(Memo8);
    std::tie(Label4, Memo3, Button6, Label19, ComboBox3) =
        AddResultList(right, r, QStringLiteral("Resolved IPs - IP,Domain (0):"),
                      {"Label4", "Memo3", "Button6", "Label19", "ComboBox3"});
    std::tie(Label5, Memo4, Button7, Label20, ComboBox4) =
        AddResultList(right, r, QStringLiteral("Unresolved IPs (0):"),
                      {"Label5", "Memo4", "Button7", "Label20", "ComboBox4"});
    Label14 = NewLabel(right, "Label14", QString::fromLatin1(kNotice));
    Label14->setAlignment(Qt::AlignCenter);
    Label14->setWordWrap(true);
    Label15 = NewLabel(right, "Label15", QString::fromLatin1(kMakerName));
    Label15->setAlignment(Qt::AlignCenter);
    Label15->SetLink([this] { Label15Click(); });
    Label22 = NewLabel(right, "Label22", QStringLiteral("Edition"));
    Label22->setAlignment(Qt::AlignCenter);
    Button12 = NewButton(right, "Button12", QStringLiteral("Close"));
    r->addWidget(Label14);
    r->addWidget(Label15);
    r->addWidget(Label22);
    r->addWidget(Button12, 0, Qt::AlignHCenter);
}

void TForm1::SetAccessibleNames() {
    // Labels and buttons are read by their current captions, which Qt derives; so
    // are the edits their labels govern (through the buddy, live). An edit governed
    // by a check box or radio button takes that control's fixed caption.
    const std::pair<TLabelEx*, QWidget*> buddies[] = {
        {Label1, Memo1},      {Label8, Memo7},           {Label11, ComboBox1}, {Label13, Edit5},
        {Label16, Edit6},     {Label17, Edit7},          {Label21, ComboBox5}, {Label3, Edit9},
        {Label26, Edit10},    {Label25, ComboBox6},      {Label2, Memo2},      {Label18, ComboBox2},
        {Label6, Memo5},      {Label4, Memo3},           {Label19, ComboBox3}, {Label5, Memo4},
        {Label20, ComboBox4}, {Label24, SettingsListBox}};
    for (const auto& [label, control] : buddies) label->setBuddy(control);
    const std::pair<QAbstractButton*, QWidget*> governed[] = {{RadioButton2, Edit1},
                                                              {RadioButton3, Edit2},
                                                              {CheckBox2, Edit3},
                                                              {CheckBox3, Edit4},
                                                              {CheckBox4, Memo6}};
    for (const auto& [button, control] : governed) control->setAccessibleName(ShownText(button->text()));
    Edit8->setAccessibleName(QStringLiteral("Custom Delimiter:"));
    Memo8->setAccessibleName(QStringLiteral("Google Public DNS Servers:"));
    SettingsNameEdit->setAccessibleName(QStringLiteral("Settings Name:"));
    SettingsNameEdit->setAccessibleDescription(Label24->text());
    TotalProgressBar->setAccessibleName(QStringLiteral("Progress"));
    ProgressBar1->setAccessibleName(QStringLiteral("DNS Lookup Progress"));
    // A list view does not read its buddy: it is named after its label here and at
    // each change of the label (see SetCaption).
    for (const auto& [label, control] : buddies)
        if (qobject_cast<QAbstractItemView*>(control)) control->setAccessibleName(ShownText(label->text()));
}
